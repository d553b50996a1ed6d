// trustctl apply: makes a stream hold exactly the entries of a jsonl file (as
// export writes it), a desired state: every line is read and checked before
// anything is written (the first bad line is named and nothing changes), and a
// stream that already holds that list is left as it is: nothing written,
// nobody told, "unchanged". A configuration engine runs it on every pass and
// tells "changed" from "already as wanted" by its output (--json) or, with
// --check, by its exit code.
#include <CLI/CLI.hpp>
#include <memory>
#include <unordered_map>

#include "blocklist/block_header.h"
#include "commands/cli_options.h"
#include "commands/command.h"
#include "commands/list_signature_check.h"
#include "common/le.h"
#include "common/u16.h"
#include "common/zalloc.h"
#include "edit/capacity.h"
#include "edit/edit_session.h"
#include "edit/write_road.h"
#include "io/format.h"
#include "io/input_file.h"
#include "io/json_out.h"
#include "io/text_input.h"
#include "platform/file.h"
#include "trustctl.h"
#include "view/entry_diff.h"
#include "view/entry_json.h"
#include "view/journal_notes.h"

namespace tl::ctl {
namespace {

struct ApplyOptions {
  bool dry_run = false;
  bool check = false;  // report what would change, exit 1 when something would
  bool json = false;
  std::string target;
  std::string input;
  WriteRules rules;
  SignatureFiles signed_by;  // --allowed-signers, --signature
};

// The stored stream as apply compares with it: absent is a list that is not
// there yet. Its entries need not be ones apply could write (it replaces them).
LoadOptions CompareOptions() {
  LoadOptions options;
  options.missing_ok = true;
  options.keep_blocks = false;  // compared and counted from the payload bytes
  return options;
}

// "1 added, 0 removed, 2 changed" as diff counts them; a list of the same
// entries in another order changes none of them but is still a change.
std::string CountsText(const EntryDiff& d) {
  std::string text = std::to_string(d.added.size()) + " added, " +
                     std::to_string(d.removed.size()) + " removed, " +
                     std::to_string(d.changed.size()) + " changed";
  if (!d.differ()) text += " (the same entries in another order)";
  return text;
}

// What a configuration engine reads instead of the text.
Json ChangeJson(bool changed, const EntryDiff& d) {
  return Json{{"changed", changed},
              {"added", d.added.size()},
              {"removed", d.removed.size()},
              {"changed_entries", d.changed.size()}};
}

// Reads the jsonl file into `list`, every line checked before anything is
// written; false with the first bad line named in *failure.
bool ReadEntries(const ApplyOptions& o, CVarBlockList& list, CollisionWatch& watch, size_t* entries,
                 std::string* signer, Failure* failure) {
  std::string error;
  InputFile in;
  std::vector<uint8_t> raw, bytes;
  if (!in.Open(o.input, "jsonl file", &error) || !in.ReadAll(&raw, &error)) {
    return Fail(FailureKind::kInput, error + "; nothing was written", failure);
  }
  // The bytes checked are the bytes read once, and the bytes applied.
  if (!o.signed_by.allowed_signers.empty() &&
      !CheckListSignature(raw, in.shown(), o.input, o.signed_by, signer, failure)) {
    return false;
  }
  TextDecoder decoder;
  decoder.Feed(raw.data(), raw.size(), &bytes);
  decoder.Finish(&bytes);
  raw = std::vector<uint8_t>();
  // Lines end at '\n'; a '\r' before it is part of a Windows editor's line end.
  std::unordered_map<uint64_t, size_t> line_of_key;
  size_t line_no = 0;
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
    std::vector<uint8_t> block;
    if (entry.is_discarded() || !EntryFromJson(entry, &block, &error)) {
      return Fail(
          FailureKind::kInput,
          where + (entry.is_discarded() ? "not valid JSON" : error) + "; nothing was written",
          failure);
    }
    const uint64_t key = LoadU64(block.data(), kBlockKeyOffset);
    const auto [it, first] = line_of_key.emplace(key, line_no);
    const std::u16string name = entry.contains("name") && entry["name"].is_string()
                                    ? Utf8ToU16(entry["name"].get<std::string>())
                                    : std::u16string();
    const size_t collisions_before = watch.found().size();
    watch.Enter(key, name, "line " + std::to_string(line_no));
    if (!first && watch.found().size() == collisions_before) {
      return Fail(FailureKind::kInput,
                  where + "same key " + Hex64(key) + " as line " + std::to_string(it->second) +
                      " (a list holds one entry per key); nothing was written",
                  failure);
    }
    block.resize(block.size() + kSpareBytes, 0);  // the spare zero bytes every block has
    if (list.AddBlockCopy(block.data()) == 0) {
      return Fail(FailureKind::kInput,
                  where + "the entry cannot be taken into a list; nothing was written", failure);
    }
    ++*entries;
  }
  if (*entries == 0 && !o.rules.allow_empty) {
    return Fail(
        FailureKind::kRefused,
        in.shown() + ": holds no entry; --allow-empty stores an empty list (nothing was written)",
        failure);
  }
  return true;
}

// apply's part of the write road: the list read from the jsonl file, compared
// with the stream as stored to say what changes.
class ApplyEdit final : public ListEdit {
 public:
  explicit ApplyEdit(const ApplyOptions& o) : o_(o) {}

  bool SpeaksJson() const override { return o_.json; }

  bool Read(Io& io, Failure* failure) {
    if (!ReadEntries(o_, list_, watch_, &entries_, &signer_, failure)) return false;
    if (!signer_.empty() && !o_.json) io.out << "signed by " << signer_ << "\n";
    return true;
  }

  // With --json a failure is also one JSON document on the output, its kind
  // for a program to act on (a busy container is worth another try).
  int Fail(const Failure& failure, Io& io) override {
    if (o_.json) {
      Json j{
          {"changed", false}, {"error", FailureKindName(failure.kind)}, {"message", failure.text}};
      if (!signer_.empty()) j["signed_by"] = signer_;
      PrintJson(io.out, j);
    }
    return ListEdit::Fail(failure, io);
  }

  bool ReadsStored(LoadOptions* options) const override {
    *options = CompareOptions();
    return true;
  }

  int Build(WriteRoad&, const StreamContents& stored, BuiltList* out, Io&) override {
    stored_ = &stored;
    out->list = &list_;
    out->entries = entries_;
    out->collisions = watch_.found();
    return kBuilt;
  }

  int Report(const RoadResult& r, Io& io) override {
    const int done = watch_.found().empty() ? kExitOk : kExitFindings;
    if (r.end == RoadEnd::kCollisionsHeld) return done;
    if (r.end == RoadEnd::kWouldWrite) {
      io.out << "dry run: " << r.target << " would hold " << entries_ << " entries ("
             << r.payload_size << "-byte payload); nothing was written\n";
      return done;
    }
    StreamContents wanted;
    wanted.payload.assign(r.payload, r.payload + r.payload_length);
    const EntryIndex stored_index = IndexPayload(stored_->payload);
    const EntryIndex wanted_index = IndexPayload(wanted.payload);
    const EntryDiff d = DiffEntries(stored_->payload, stored_index, wanted.payload, wanted_index);
    const bool changed = r.end == RoadEnd::kWritten || r.end == RoadEnd::kWouldChange;
    if (o_.json) {
      Json j = ChangeJson(changed, d);
      if (r.created) j["created"] = true;
      if (!signer_.empty()) j["signed_by"] = signer_;
      PrintJson(io.out, j);
    } else if (r.end == RoadEnd::kWouldChange) {
      if (!io.quiet) {
        PrintChanges(io.out, stored_->payload, stored_index, wanted.payload, wanted_index, d);
      }
      io.out << "would change: " << r.target << ": " << CountsText(d) << "; nothing was written\n";
    } else if (changed) {
      io.out << "changed: " << r.target << ": " << CountsText(d) << "; wrote " << entries_
             << " entries, " << r.payload_bytes << "-byte payload\n";
    } else if (o_.check) {
      io.out << "unchanged: " << r.target << " holds these entries; nothing was written\n";
    } else {
      io.out << "unchanged: " << r.target << " holds these " << entries_
             << " entries; nothing was written\n";
    }
    return r.end == RoadEnd::kWouldChange ? kExitFindings : done;
  }

 private:
  const ApplyOptions& o_;
  CVarBlockList list_;
  CollisionWatch watch_;
  size_t entries_ = 0;
  std::string signer_;  // the principal that signed the list, when it was checked
  const StreamContents* stored_ = nullptr;
};

int RunApply(const ApplyOptions& o, Io& io) {
  WriteOrder order;
  std::string error;
  if (!ParseStreamRef(o.target, &order.ref, &error) || !ValidStreamName(order.ref.stream, &error)) {
    Complain(io, error);
    return kExitUsage;
  }
  if (!CheckNotContainer(o.input, "jsonl file", order.ref.container, &error)) {
    Complain(io, error);
    return kExitFailure;
  }
  // --check and a dry run only read (by path); a real apply holds the
  // container from the guards to the write, so what is compared is what is
  // replaced. --check is refused for what the apply would refuse.
  order.mode = o.dry_run ? WriteMode::kDryRun : o.check ? WriteMode::kCheck : WriteMode::kWrite;
  order.rules = o.rules;
  if (!o.signed_by.allowed_signers.empty() && SignaturePath(o.input, o.signed_by).empty()) {
    Complain(io, "a list read from standard input needs --signature SIG");
    return kExitUsage;
  }
  if (o.signed_by.allowed_signers.empty() && !o.signed_by.signature.empty()) {
    Complain(io, "--signature needs --allowed-signers: a signature nobody checks proves nothing");
    return kExitUsage;
  }
  ApplyEdit edit(o);
  Failure failure;
  return edit.Read(io, &failure) ? WriteRoad(order, io).Drive(edit) : edit.Fail(failure, io);
}

}  // namespace

Runner DeclareApply(CLI::App& app) {
  auto o = std::make_shared<ApplyOptions>();
  CLI::App* s = app.add_subcommand(
      "apply",
      "Makes the stream hold exactly the entries of a jsonl file as export writes it.\n"
      "Every line is checked first (errors name the line; exit 2; nothing written). An\n"
      "export applied to any container stores a byte-identical payload (bytes 12-23 of\n"
      "each block aside). A stream that already holds that payload is not written (and\n"
      "the product not told): \"unchanged\", exit 0; otherwise \"changed\" with the\n"
      "entries added, removed and changed as diff counts them, exit 0. An entry is\n"
      "edited by editing its fields; one that carries \"bytes\" is rebuilt from its\n"
      "fields once \"bytes\" is removed. A file with no entry is refused unless\n"
      "--allow-empty; two lines of different names with one key: exit 1, nothing\n"
      "written unless --allow-collisions.");
  s->add_flag("--dry-run", o->dry_run, "check and report without writing");
  s->add_flag("--check", o->check,
              "report what would change without writing; exit 0 when nothing would, 1 when "
              "something would");
  s->add_flag("--json", o->json,
              "print {\"changed\": bool, \"added\": n, \"removed\": n, \"changed_entries\": n}; "
              "on failure {\"changed\": false, \"error\": input|refused|busy|damaged|no-room|"
              "system, \"message\": TEXT}");
  Positional(s, "CONTAINER", o->target, "CONTAINER or CONTAINER:STREAM");
  Positional(s, "FILE", o->input, "the jsonl file; '-' is standard input");
  s->add_option("--allowed-signers", o->signed_by.allowed_signers,
                "apply only a list signed (ssh-keygen -Y sign -n trustlist) by a key this "
                "OpenSSH allowed-signers file trusts now; otherwise exit 2, nothing written")
      ->type_name("FILE");
  s->add_option("--signature", o->signed_by.signature,
                "the list's signature (default: FILE.sig; needed when FILE is '-')")
      ->type_name("SIG");
  DeclareWriteRules(s, o->rules, true, true);
  return [o](Io& io) { return RunApply(*o, io); };
}

}  // namespace tl::ctl
