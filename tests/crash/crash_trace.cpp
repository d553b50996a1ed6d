#include "crash_trace.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace tl::test::crash {
namespace {

bool IsFlush(OpKind k) {
  return k == OpKind::kFsync || k == OpKind::kFdatasync || k == OpKind::kFsyncDir;
}

// Calls that change the folder's names rather than a file's bytes.
bool IsNaming(OpKind k) {
  return k == OpKind::kCreate || k == OpKind::kRename || k == OpKind::kUnlink;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text[i + 1]);
    const int lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return !out->empty();
}

bool Unhex(const std::string& text, std::vector<uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  out->resize(text.size() / 2);
  for (size_t i = 0; i < out->size(); ++i) {
    const int hi = HexDigit(text[2 * i]);
    const int lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*out)[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool Number(const std::string& text, uint64_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoull(text);
  return true;
}

std::string Key(const Files& files) {
  std::string key;
  for (const auto& [name, bytes] : files) {
    key += name;
    key += '\0';
    key += std::to_string(bytes.size());
    key += '\0';
    key.append(bytes.begin(), bytes.end());
  }
  return key;
}

}  // namespace

bool ParseTrace(const std::string& text, std::vector<Op>* ops, std::string* error) {
  ops->clear();
  std::istringstream lines(text);
  std::string line;
  for (size_t number = 1; std::getline(lines, line); ++number) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    Op op;
    bool ok = !w.empty();
    const std::string& verb = ok ? w[0] : line;
    if (verb == "create" || verb == "unlink" || verb == "fsync" || verb == "fdatasync") {
      op.kind = verb == "create"   ? OpKind::kCreate
                : verb == "unlink" ? OpKind::kUnlink
                : verb == "fsync"  ? OpKind::kFsync
                                   : OpKind::kFdatasync;
      ok = w.size() == 2 && Unescape(w[1], &op.name);
    } else if (verb == "truncate") {
      op.kind = OpKind::kTruncate;
      ok = w.size() == 3 && Unescape(w[1], &op.name) && Number(w[2], &op.offset);
    } else if (verb == "write") {
      op.kind = OpKind::kWrite;
      ok = w.size() == 4 && Unescape(w[1], &op.name) && Number(w[2], &op.offset) &&
           Unhex(w[3], &op.data) && !op.data.empty();
    } else if (verb == "fsyncdir") {
      op.kind = OpKind::kFsyncDir;
      ok = w.size() == 1;
    } else if (verb == "rename") {
      op.kind = OpKind::kRename;
      ok = w.size() == 3 && Unescape(w[1], &op.name) && Unescape(w[2], &op.to);
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "trace line " + std::to_string(number) + ": " + line.substr(0, 80);
      return false;
    }
    ops->push_back(std::move(op));
  }
  return true;
}

std::string Describe(const Op& op) {
  switch (op.kind) {
    case OpKind::kCreate:
      return "create " + op.name;
    case OpKind::kTruncate:
      return "truncate " + op.name + " to " + std::to_string(op.offset);
    case OpKind::kWrite:
      return "write " + op.name + " " + std::to_string(op.offset) + "+" +
             std::to_string(op.data.size());
    case OpKind::kFsync:
      return "fsync " + op.name;
    case OpKind::kFdatasync:
      return "fdatasync " + op.name;
    case OpKind::kFsyncDir:
      return "fsync of the folder";
    case OpKind::kRename:
      return "rename " + op.name + " " + op.to;
    case OpKind::kUnlink:
      return "unlink " + op.name;
  }
  return "?";
}

const char* StateClassName(StateClass c) {
  switch (c) {
    case StateClass::kProcessCrash:
      return "process crash";
    case StateClass::kPowerLoss:
      return "power loss";
    case StateClass::kTornWrite:
      return "torn write";
  }
  return "?";
}

TraceModel::TraceModel(const Files& initial, std::vector<Op> ops)
    : initial_(initial), ops_(std::move(ops)) {
  // Files are told apart by identity, as inodes are: a write goes to the file
  // its name led to when it was made, whatever happens to the name later.
  std::map<std::string, int> names;
  int next = 0;
  for (const auto& entry : initial_) names[entry.first] = next++;
  auto id_of = [&](const std::string& name) {
    auto it = names.find(name);
    return it != names.end() ? it->second : (names[name] = next++);
  };
  file_of_.resize(ops_.size(), -1);
  for (size_t i = 0; i < ops_.size(); ++i) {
    const Op& op = ops_[i];
    switch (op.kind) {
      case OpKind::kCreate:
        file_of_[i] = names[op.name] = next++;
        break;
      case OpKind::kRename:
        file_of_[i] = id_of(op.name);
        names[op.to] = file_of_[i];
        names.erase(op.name);
        break;
      case OpKind::kUnlink:
        file_of_[i] = id_of(op.name);
        names.erase(op.name);
        break;
      case OpKind::kFsyncDir:
        break;
      default:
        file_of_[i] = id_of(op.name);
        break;
    }
  }
}

bool TraceModel::Forced(size_t i, size_t k) const {
  const OpKind kind = ops_[i].kind;
  if (IsFlush(kind)) return true;
  for (size_t j = i + 1; j < k && j < ops_.size(); ++j) {
    const OpKind by = ops_[j].kind;
    if (IsNaming(kind)
            ? by == OpKind::kFsyncDir
            : (by == OpKind::kFsync || by == OpKind::kFdatasync) && file_of_[j] == file_of_[i]) {
      return true;
    }
  }
  return false;
}

Files TraceModel::Replay(const std::vector<size_t>& keep, const WritePart& part) const {
  std::vector<size_t> order = keep;
  std::sort(order.begin(), order.end());
  std::map<std::string, int> names;
  std::map<int, std::vector<uint8_t>> bytes;
  int next = 0;
  for (const auto& [name, content] : initial_) {
    names[name] = next;
    bytes[next++] = content;
  }
  for (size_t i : order) {
    const Op& op = ops_[i];
    const int id = file_of_[i];
    switch (op.kind) {
      case OpKind::kCreate:
        names[op.name] = id;
        bytes[id].clear();
        break;
      case OpKind::kTruncate:
        bytes[id].resize(op.offset);
        break;
      case OpKind::kWrite: {
        size_t begin = 0, end = op.data.size();
        if (part.op == i) {
          begin = part.begin;
          end = part.end;
        }
        std::vector<uint8_t>& b = bytes[id];
        if (b.size() < op.offset + end) b.resize(op.offset + end);
        std::copy(op.data.begin() + static_cast<long>(begin),
                  op.data.begin() + static_cast<long>(end),
                  b.begin() + static_cast<long>(op.offset + begin));
        break;
      }
      case OpKind::kRename:
        // A file whose own creation never reached the disk has no name to move.
        if (auto it = names.find(op.name); it != names.end() && it->second == id) {
          names[op.to] = id;
          names.erase(it);
        }
        break;
      case OpKind::kUnlink:
        if (auto it = names.find(op.name); it != names.end() && it->second == id) names.erase(it);
        break;
      default:
        break;
    }
  }
  Files out;
  for (const auto& [name, id] : names) out[name] = bytes[id];
  return out;
}

std::vector<CrashState> TraceModel::States(StateCounts* counts) const {
  *counts = StateCounts();
  std::vector<CrashState> out;
  std::set<std::string> seen;
  const size_t n = ops_.size();
  auto add = [&](StateClass cls, std::string label, const std::vector<size_t>& keep,
                 const WritePart& part = WritePart()) {
    Files files = Replay(keep, part);
    const auto c = static_cast<size_t>(cls);
    ++counts->made[c];
    if (!seen.insert(Key(files)).second) return;
    ++counts->kept[c];
    out.push_back({cls, std::move(label), std::move(files)});
  };
  auto upto = [](size_t k) {
    std::vector<size_t> v(k);
    for (size_t i = 0; i < k; ++i) v[i] = i;
    return v;
  };
  auto op_text = [&](size_t i) {
    return "op " + std::to_string(i + 1) + " (" + Describe(ops_[i]) + ")";
  };

  for (size_t k = 0; k <= n; ++k) {
    add(StateClass::kProcessCrash,
        "process crash after " + std::to_string(k) + " of " + std::to_string(n) + " ops" +
            (k > 0 ? ", the last " + op_text(k - 1) : ""),
        upto(k));
  }

  // Power loss while flush k runs (k == n: after the run, before the system
  // wrote back what no flush forced).
  for (size_t k = 0; k <= n; ++k) {
    if (k < n && !IsFlush(ops_[k].kind)) continue;
    std::vector<size_t> forced, open;
    for (size_t i = 0; i < k; ++i) {
      if (IsFlush(ops_[i].kind)) continue;
      (Forced(i, k) ? forced : open).push_back(i);
    }
    if (open.empty()) continue;
    const std::string at = k < n ? "power loss during " + op_text(k) : "power loss after the run";
    // Names are journaled in order: a dropped rename, creation or deletion
    // takes every later one of the interval with it.
    auto keep_with = [&](const std::vector<bool>& take) {
      std::vector<size_t> keep = forced;
      bool naming_lost = false;
      for (size_t u = 0; u < open.size(); ++u) {
        const bool naming = IsNaming(ops_[open[u]].kind);
        if (naming && (!take[u] || naming_lost)) {
          naming_lost = true;
          continue;
        }
        if (take[u]) keep.push_back(open[u]);
      }
      return keep;
    };
    add(StateClass::kPowerLoss, at + ": all " + std::to_string(open.size()) + " unforced ops lost",
        keep_with(std::vector<bool>(open.size(), false)));
    for (size_t u = 0; u < open.size(); ++u) {
      std::vector<bool> take(open.size(), true);
      take[u] = false;
      add(StateClass::kPowerLoss, at + ": " + op_text(open[u]) + " lost", keep_with(take));
    }
    for (size_t u = 0; open.size() > 1 && u < open.size(); ++u) {
      std::vector<bool> take(open.size(), false);
      take[u] = true;
      add(StateClass::kPowerLoss, at + ": only " + op_text(open[u]) + " kept", keep_with(take));
    }
    for (size_t u = 1; u < open.size(); ++u) {
      std::vector<bool> take(open.size(), false);
      for (size_t v = u; v < open.size(); ++v) take[v] = true;
      add(StateClass::kPowerLoss, at + ": ops before " + op_text(open[u]) + " lost, later kept",
          keep_with(take));
    }
  }

  for (size_t w = 0; w < n; ++w) {
    const Op& op = ops_[w];
    if (op.kind != OpKind::kWrite) continue;
    size_t flush = w + 1;
    while (flush < n && !IsFlush(ops_[flush].kind)) ++flush;
    const uint64_t end = op.offset + op.data.size();
    for (uint64_t b = (op.offset / kPageSize + 1) * kPageSize; b < end; b += kPageSize) {
      const auto cut = static_cast<size_t>(b - op.offset);
      const std::string where = std::to_string(b);
      std::vector<size_t> through = upto(w + 1);
      add(StateClass::kTornWrite, op_text(w) + " torn: only below " + where, through, {w, 0, cut});
      add(StateClass::kTornWrite, op_text(w) + " torn: only from " + where, through,
          {w, cut, op.data.size()});
      add(StateClass::kTornWrite,
          op_text(w) + " torn: only below " + where + ", the rest up to the next flush kept",
          upto(flush), {w, 0, cut});
      add(StateClass::kTornWrite,
          op_text(w) + " torn: only from " + where + ", the rest up to the next flush kept",
          upto(flush), {w, cut, op.data.size()});
    }
  }
  return out;
}

}  // namespace tl::test::crash
