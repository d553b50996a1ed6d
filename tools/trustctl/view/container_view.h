// Shared by dump, verify, diff and the editing commands: naming a stream on the
// command line, opening a container with the checked reader, and reading one
// stream's payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "entry/stream_names.h"
#include "io/io.h"
#include "minifile/container_reader.h"
#include "minifile/container_snapshot.h"
#include "view/payload_view.h"

namespace tl::ctl {

inline constexpr const char16_t* kDefaultStream = kProgramListStream;

// "CONTAINER" or "CONTAINER:STREAM", read so that one text means one thing:
// - a text that names an existing file (or anything else that exists) is that
//   container, colons and all, with the default stream;
// - otherwise a stream is split off at the last colon that is not a drive
//   letter's ("C:") and has no path separator after it, and the part before it
//   is the container (existing, or to be created);
// - an empty stream name (a trailing colon) or an empty container name is
//   refused, and so is a text whose container part, missing, holds another
//   colon (which colon ends the container would be a guess).
struct StreamRef {
  std::u16string container;
  std::u16string stream;
  bool explicit_stream = false;  // the text named a stream
};
bool ParseStreamRef(const std::string& text, StreamRef* out, std::string* error);

// Opens a container with the checked reader, as a snapshot: an interrupted
// replacement is rolled back first (said on io's error stream,
// view/journal_notes.h), and the file is released before anything is
// formatted or written. Only a regular file is a container: a FIFO, a device
// or a directory is refused without being read. On failure *error is "PATH:
// cannot open the container for reading: REASON", REASON the system's own (or
// that a writer held it for the whole wait).
bool OpenReader(const std::u16string& path, ContainerReader* reader, Io& io, std::string* error);

// "REASON" of a file that could not be opened for reading: the system's text.
std::string ReadFailureReason(const std::u16string& path);

// OpenReader's *error for a snapshot of `path` that ended with `status`
// (kNotRegular for a path that names no regular file) and `system_error`.
std::string SnapshotFailure(const std::u16string& path, platform::WriterOpenStatus status,
                            uint32_t system_error);

// Reads the container at `path` into *out without changing anything, on disk
// or beside it (TakeReadOnlySnapshot: a journal of an interrupted replacement
// is applied in memory, never rolled back or deleted), for a command that
// salvages a damaged container and must leave it as evidence. Refuses what
// OpenReader refuses, with its messages. Says nothing of the journal: the
// caller does (SayJournalLeftAlone, view/journal_notes.h).
bool ReadUntouched(const std::u16string& path, ContainerSnapshot* out, std::string* error);

// A stream as read: its unscrambled payload and the checked reading of it.
struct StreamContents {
  int32_t entry = -1;  // directory slot, -1 when the stream is absent
  std::vector<uint8_t> payload;
  PayloadView view;
  // The stored bytes of block i of view.blocks (bounded by the payload).
  const uint8_t* BlockBytes(size_t i) const { return payload.data() + view.blocks[i].offset; }
};

// Reads stream `entry` of an open reader. False with *error set when the chain
// cannot be followed or the bytes cannot be read. Without `keep_blocks` only
// the payload is read: the caller walks it (WalkPayload), so that a big list
// is never held decoded.
bool ReadStreamContents(const ContainerReader& reader, uint32_t entry, StreamContents* out,
                        std::string* error, bool keep_blocks = true);

// Walks stream `entry` of an open reader without holding it whole: it is
// unscrambled piece by piece and each block goes to `on_block`; *view gets the
// header and every issue. False with *error set (as ReadStreamContents sets
// it) when the chain cannot be followed or the bytes cannot be read; the view
// then says nothing.
bool WalkStream(const ContainerReader& reader, uint32_t entry, PayloadView* view,
                std::string* error, const BlockVisitor& on_block);

// How LoadList treats what it finds.
struct LoadOptions {
  bool missing_ok = false;     // a missing container or an absent stream is an empty list
  bool require_sound = false;  // refuse a container with any defect, or a payload issue that
                               // stops an edit (StopsEdit)
  bool keep_blocks = true;     // false: the payload only, not parsed (the caller walks it)
};

// Opens `ref.container`, finds `ref.stream` and reads it. *error names the file
// and the problem. out->entry is -1 when the stream (or the container) is absent
// and options.missing_ok allowed that.
bool LoadList(const StreamRef& ref, const LoadOptions& options, StreamContents* out, Io& io,
              std::string* error);
// The same from a container already read (`reader`, read from ref.container).
bool LoadListFrom(const ContainerReader& reader, const StreamRef& ref, const LoadOptions& options,
                  StreamContents* out, std::string* error);

// One present stream of a container, read.
struct NamedStream {
  std::u16string name;
  StreamContents contents;
};

// The stream `ref` names when it names one explicitly, else every present
// stream of the container, in directory order. False with *error when the
// container or a stream cannot be read, or a named stream is absent.
bool LoadStreams(const StreamRef& ref, std::vector<NamedStream>* out, Io& io, std::string* error);
// The same from a container already read.
bool LoadStreamsFrom(const ContainerReader& reader, const StreamRef& ref,
                     std::vector<NamedStream>* out, std::string* error);

// The name AddProgram gives a program of the file at `path` (the library's
// rule, ProgramNameOfPath in entry/program_builder.h).
std::u16string ProgramNameOfPath(const std::u16string& path);

}  // namespace tl::ctl
