#include "tools/report_json.h"

#include <cstdio>

namespace ambrik::tools {
namespace {

// A minimal writer: objects and arrays with comma bookkeeping.
class Json {
 public:
  Json& open(char c) {
    comma();
    out_ += c;
    first_ = true;
    return *this;
  }
  Json& close(char c) {
    out_ += c;
    first_ = false;
    return *this;
  }
  Json& key(const char* k) {
    comma();
    str(k);
    out_ += ':';
    first_ = true;
    return *this;
  }
  Json& value(uint64_t v) {
    comma();
    out_ += std::to_string(v);
    return *this;
  }
  Json& value(bool v) {
    comma();
    out_ += v ? "true" : "false";
    return *this;
  }
  Json& value(const std::string& s) {
    comma();
    str(s);
    return *this;
  }
  Json& null() {
    comma();
    out_ += "null";
    return *this;
  }
  template <typename T>
  Json& field(const char* k, const T& v) {
    key(k);
    return value(v);
  }
  std::string take() { return std::move(out_); }

 private:
  void comma() {
    if (!first_) out_ += ',';
    first_ = false;
  }
  void str(const std::string& s) {
    out_ += '"';
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out_ += buf;
      } else {
        out_ += static_cast<char>(c);
      }
    }
    out_ += '"';
  }
  std::string out_;
  bool first_ = true;
};

const char* role_key(int role) {
  static const char* const kKeys[kRoleCount] = {
      "unreached",       "superblock",   "handle_internal",  "handle_leaf",   "data",
      "overflow",        "freemap_interior", "freemap_leaf", "member_internal", "member_leaf",
      "pending_free"};
  return kKeys[role];
}

void body(Json& j, const CheckReport& r) {
  j.field("path", r.path).field("file_bytes", r.file_bytes).field("stride", r.stride);
  j.field("units", r.units);
  j.key("superblock").open('{');
  j.key("chosen");
  if (r.chosen) j.value(uint64_t{*r.chosen});
  else j.null();
  j.field("generation", r.generation).field("format_version", uint64_t{r.format_version});
  j.field("superblock_count", uint64_t{r.superblock_count}).field("page_count", r.page_count);
  j.field("next_handle", r.next_handle).field("encrypted", r.encrypted);
  j.key("key_slots").open('[');
  for (const KeySlotInfo& k : r.key_slots) {
    j.open('{').field("slot", uint64_t{k.index});
    j.field("kind", std::string(k.kind == 1 ? "raw" : k.kind == 2 ? "passphrase" : "unknown"));
    j.field("memory_kib", uint64_t{k.costs.memory_kib}).field("passes", uint64_t{k.costs.passes});
    j.field("lanes", uint64_t{k.costs.lanes}).close('}');
  }
  j.close(']').close('}');
  j.key("slots").open('[');
  for (const SlotReport& s : r.slots) {
    j.open('{').field("slot", uint64_t{s.index}).field("valid", s.valid);
    if (s.valid) {
      j.field("generation", s.generation).field("encrypted", s.encrypted);
      j.field("chosen", r.chosen && *r.chosen == s.index);
    } else {
      j.field("defect", s.defect);
    }
    j.close('}');
  }
  j.close(']');
  j.key("pages").open('{');
  for (int i = 1; i < kRoleCount; ++i) j.field(role_key(i), r.pages_by_role[i]);
  j.field("free", r.free_pages).field("leaked", r.leaked_pages);
  j.field("orphaned_free_map", r.orphaned_freemap_pages).field("tail_units", r.tail_units);
  j.close('}');
  j.key("content").open('{');
  j.field("live_handles", r.live_handles).field("inline_values", r.inline_values);
  j.field("overflow_values", r.overflow_values).field("value_bytes", r.value_bytes);
  j.field("data_page_slots", r.data_page_slots).field("tags_in_use", r.tags_in_use);
  j.field("tagged_handles", r.tagged_handles);
  j.field("pending_free_records", r.pending_free_records).close('}');
  j.key("named_roots").open('[');
  for (const NamedRoot& n : r.named_roots)
  {
    j.open('{').field("name", n.name).field("handle", n.handle).field("live", n.live);
    j.key("key_map");
    if (n.key_map) {
      j.open('{').field("keys", n.key_map->keys).field("nodes", n.key_map->nodes);
      j.field("height", uint64_t{n.key_map->height}).close('}');
    } else {
      j.null();
    }
    j.close('}');
  }
  j.close(']');
  j.key("findings").open('[');
  for (const Finding& f : r.findings) {
    j.open('{').field("severity", std::string(f.problem ? "problem" : "warning"));
    j.key("page");
    if (f.page) j.value(*f.page);
    else j.null();
    j.field("kind", std::string(f.kind)).field("text", f.text).close('}');
  }
  j.close(']');
  j.field("problems", r.problems).field("warnings", r.warnings);
  j.field("findings_dropped", r.findings_dropped);
}

}  // namespace

std::string to_json(const CheckReport& report) {
  Json j;
  j.open('{');
  body(j, report);
  j.close('}');
  return j.take();
}

std::string to_json(const StatsReport& report) {
  Json j;
  j.open('{');
  j.key("stats").open('{');
  j.field("handle_count", report.stats.handle_count);
  j.field("total_pages", report.stats.total_pages);
  j.field("file_size_bytes", report.stats.file_size_bytes);
  j.key("spillway_logical_bytes");
  if (report.stats.spillway_logical_bytes) j.value(*report.stats.spillway_logical_bytes);
  else j.null();
  j.key("spillway_max_bytes");
  if (report.stats.spillway_max_bytes) j.value(*report.stats.spillway_max_bytes);
  else j.null();
  j.close('}');
  body(j, report.detail);
  j.close('}');
  return j.take();
}

std::string to_json(const CompactReport& r) {
  Json j;
  j.open('{');
  j.field("source_bytes", r.source_bytes).field("source_pages", r.source_pages);
  j.field("dest_bytes", r.dest_bytes).field("dest_pages", r.dest_pages);
  j.field("handles", r.handles).field("value_bytes", r.value_bytes).field("tags", r.tags);
  j.close('}');
  return j.take();
}

}  // namespace ambrik::tools
