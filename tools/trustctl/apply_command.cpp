// trustctl apply: replaces a stream with exactly the entries of a jsonl file
// (as export writes it). Every line is read and checked before anything is
// written; the first bad line is named and nothing changes.
#include <unordered_map>

#include "blocklist/block_header.h"
#include "capacity.h"
#include "command.h"
#include "common/le.h"
#include "common/u16.h"
#include "entry_json.h"
#include "format.h"
#include "input_file.h"
#include "list_store.h"
#include "recovery.h"
#include "text_input.h"
#include "trustctl.h"
#include "write_guards.h"

namespace tl::ctl {

int RunApply(const ApplyOptions& o, Io& io) {
  StreamRef ref;
  std::string error;
  if (!ParseStreamRef(o.target, &ref, &error) || !ValidStreamName(ref.stream, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (!CheckNotContainer(o.input, "jsonl file", ref.container, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  InputFile in;
  std::vector<uint8_t> raw, bytes;
  if (!in.Open(o.input, "jsonl file", &error) || !in.ReadAll(&raw, &error)) {
    Complain(io, error + "; nothing was written");
    return kExitFailure;
  }
  TextDecoder decoder;
  decoder.Feed(raw.data(), raw.size(), &bytes);
  decoder.Finish(&bytes);
  raw = std::vector<uint8_t>();
  // Lines end at '\n'; a '\r' before it is part of a Windows editor's line end.
  CVarBlockList list;
  std::unordered_map<uint64_t, size_t> line_of_key;
  CollisionWatch watch;
  size_t line_no = 0, entries = 0;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = at;
    while (end < bytes.size() && bytes[end] != '\n') ++end;
    std::string line(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(end));
    at = end + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string where = in.shown() + ":" + std::to_string(line_no) + ": ";
    const Json entry = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (entry.is_discarded()) {
      Complain(io, where + "not valid JSON; nothing was written");
      return kExitFailure;
    }
    std::vector<uint8_t> block;
    if (!EntryFromJson(entry, &block, &error)) {
      Complain(io, where + error + "; nothing was written");
      return kExitFailure;
    }
    const uint64_t key = LoadU64(block.data(), kBlockKeyOffset);
    const auto [it, first] = line_of_key.emplace(key, line_no);
    const std::u16string name = entry.contains("name") && entry["name"].is_string()
                                    ? Utf8ToU16(entry["name"].get<std::string>())
                                    : std::u16string();
    const size_t collisions_before = watch.found().size();
    watch.Enter(key, name, "line " + std::to_string(line_no));
    if (!first && watch.found().size() == collisions_before) {
      Complain(io, where + "same key " + Hex64(key) + " as line " + std::to_string(it->second) +
                       " (a list holds one entry per key); nothing was written");
      return kExitFailure;
    }
    block.resize(block.size() + 32, 0);  // the spare zero bytes every block has
    if (list.AddBlockCopy(block.data()) == 0) {
      Complain(io, where + "the entry cannot be taken into a list; nothing was written");
      return kExitFailure;
    }
    ++entries;
  }
  if (entries == 0 && !o.rules.allow_empty) {
    Complain(io, in.shown() +
                     ": holds no entry; --allow-empty stores an empty list (nothing was written)");
    return kExitFailure;
  }
  const size_t payload_size = PayloadSizeOf(list);
  const std::string target =
      "stream \"" + Printable(std::u16string_view(ref.stream)) + "\" of " + Shown(ref.container);
  EditSession session;
  ContainerReader by_path;
  const ContainerReader* look = nullptr;
  if (!BeginWrite(&session, o.dry_run, ref.container, ref.stream, o.rules.new_stream, &by_path,
                  &look, io, &error) ||
      !CheckNotEmptied(ref.container, ref.stream, StreamHoldsEntries(look, ref.stream), entries,
                       o.rules.allow_empty, &error) ||
      !CheckFitsFor(&session, o.dry_run, ref.container, ref.stream, payload_size, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  const int done = watch.found().empty() ? kExitOk : kExitFindings;
  if (!ReportCollisions(watch.found(), o.rules.allow_collisions, io)) return done;
  if (o.dry_run) {
    io.out << "dry run: " << target << " would hold " << list.GetCount() << " entries ("
           << payload_size << "-byte payload); nothing was written\n";
    return done;
  }
  uint32_t payload_bytes = 0;
  if (!session.Store(ref.stream, list, &payload_bytes, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  io.out << "wrote " << target << ": " << list.GetCount() << " entries, " << payload_bytes
         << "-byte payload\n";
  return done;
}

}  // namespace tl::ctl
