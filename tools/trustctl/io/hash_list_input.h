// Reading a hash list as the library's import reads it, for import and add
// --hashes: one line reader, one decoding.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "entry/hash_list.h"
#include "io/io.h"
#include "io/text_input.h"

namespace tl::ctl {

// The whole hash list through the library's line parser, read sequentially
// and decoded to UTF-8 (a byte order mark is taken off, UTF-16 converted).
// A big hash list (1 MiB or more, of a known size) shows how much was read.
// *bytes is the size of the file as read; `expect`, when given, is told the
// file's size first when it is known.
bool FeedHashList(const std::string& arg, HashListSink& sink, Io& io, uint64_t* bytes,
                  TextDecoder* decoder, std::string* error,
                  const std::function<void(uint64_t)>& expect = {});

}  // namespace tl::ctl
