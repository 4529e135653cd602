#include "app/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/never_served.h"
#include "app/request_path.h"
#include "util/ascii.h"
#include "util/text.h"

namespace vt {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at text[at], or 0 when the byte
// there starts none (overlong forms, surrogates and code points past
// U+10FFFF are no valid UTF-8).
std::size_t UTF8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// Calls `ascii(c)` for each ASCII byte and `other(sequence)` for each valid
// multi-byte sequence, with U+FFFD for each byte of no valid sequence.
template <typename Ascii, typename Other>
void ForEachCharacter(std::string_view text, Ascii ascii, Other other) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = UTF8SequenceLength(text, at);
    if (length == 0) {
      other(kReplacement);
      ++at;
    } else if (length == 1) {
      ascii(text[at]);
      ++at;
    } else {
      other(text.substr(at, length));
      at += length;
    }
  }
}

bool IsUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void AppendPercentEncoded(std::string& out, std::string_view bytes, bool keep_slash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    if (IsUnreserved(c) || (keep_slash && c == '/')) {
      out += c;
    } else {
      const auto b = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
}

// The ASCII folded comparison of two names, then their bytes.
int CompareNames(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const char x = AsciiToLower(a[i]);
    const char y = AsciiToLower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

std::string_view NextQueryParameter(std::string_view& query) {
  const std::size_t amp = query.find('&');
  const std::string_view parameter = query.substr(0, amp);
  query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  return parameter;
}

void AppendNumber(std::string& out, std::int64_t value) {
  if (value < 0) {
    out += '-';
    value = value == INT64_MIN ? INT64_MAX : -value;  // one off at the very end of the range
  }
  char text[24];
  int at = 24;
  do {
    text[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  out.append(text + at, static_cast<std::size_t>(24 - at));
}

// The link of an entry: the folder's path and the name, "/" after a folder.
void AppendEntryURL(std::string& out, const TListingPage& page, const TListingEntry& entry) {
  AppendEncodedPath(out, page.path);
  AppendPercentEncoded(out, entry.name, false);
  if (entry.folder) out += '/';
}

void AppendDigits(std::string& out, int value, int width) {
  char text[12];
  int at = 12;
  do {
    text[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 || 12 - at < width);
  out.append(text + at, static_cast<std::size_t>(12 - at));
}

// "2024-03-01T12:00" from broken-down time: the part both texts share.
void AppendDateAndMinute(std::string& out, const struct tm& parts, char between) {
  AppendDigits(out, parts.tm_year + 1900, 4);
  out += '-';
  AppendDigits(out, parts.tm_mon + 1, 2);
  out += '-';
  AppendDigits(out, parts.tm_mday, 2);
  out += between;
  AppendDigits(out, parts.tm_hour, 2);
  out += ':';
  AppendDigits(out, parts.tm_min, 2);
}

// The local time of the server, as the page shows it: "2024-03-01 12:00".
// Files of one folder often share their minute: the thread keeps the last
// one's text, and asks the time zone only for another minute (the
// process's time zone is set once, at its start).
void AppendLocalTime(std::string& out, std::int64_t unix_seconds) {
  thread_local std::int64_t last_minute = INT64_MIN;
  thread_local std::string last_text;
  const std::int64_t minute = unix_seconds >= 0 ? unix_seconds / 60 : (unix_seconds - 59) / 60;
  if (minute != last_minute) {
    const auto time = static_cast<std::time_t>(unix_seconds);
    struct tm parts {};
    if (!::localtime_r(&time, &parts)) return;
    last_text.clear();
    AppendDateAndMinute(last_text, parts, ' ');
    last_minute = minute;
  }
  out += last_text;
}

// The icon class of a file by its extension: the page draws each class in
// its own colour (see the style sheet).
const char* IconClass(const TListingEntry& entry) {
  if (entry.folder) return "d";
  const std::string_view ext = FileExtOfPath(entry.name);
  const struct {
    const char* kind;
    std::initializer_list<const char*> exts;
  } kinds[] = {
      {"i",
       {".png", ".jpg", ".jpeg", ".gif", ".webp", ".avif", ".svg", ".bmp", ".ico", ".heic", ".tif", ".tiff"}},
      {"a", {".mp3", ".ogg", ".oga", ".opus", ".flac", ".wav", ".m4a", ".aac"}},
      {"v", {".mp4", ".mkv", ".webm", ".mov", ".avi", ".mpg", ".mpeg", ".m4v", ".ogv"}},
      {"t",
       {".txt", ".md", ".html", ".htm", ".css", ".js", ".json", ".csv", ".xml", ".c", ".cpp", ".h", ".py",
        ".sh", ".ini", ".log", ".pdf"}},
      {"z", {".zip", ".tar", ".gz", ".tgz", ".xz", ".bz2", ".zst", ".7z", ".rar", ".deb", ".iso"}},
  };
  if (ext.empty()) return "f";
  for (const auto& kind : kinds) {
    for (const char* known : kind.exts) {
      if (TextEqualFolded(ext, known)) return kind.kind;
    }
  }
  return "f";
}

// The sort links of the table head: a column's link sorts by it ascending,
// or, when the page is sorted so already, descending.
void AppendSortHeading(std::string& out, const TListingPage& page, TListingSort sort, const char* key,
                       const char* label, const char* cell_class) {
  const bool current = page.order.sort == sort;
  out += "<th class=\"";
  out += cell_class;
  out += '"';
  if (current) out += page.order.descending ? " aria-sort=\"descending\"" : " aria-sort=\"ascending\"";
  out += "><a href=\"?sort=";
  out += key;
  out += "&amp;order=";
  out += current && !page.order.descending ? "desc" : "asc";
  out += "\">";
  out += label;
  if (current) out += page.order.descending ? " \xE2\x96\xBC" : " \xE2\x96\xB2";  // ▼ ▲
  out += "</a></th>";
}

// The style sheet: readable on a phone (rows are touch targets of at least
// 44 px), light or dark as the system is, icons drawn from inline SVG.
constexpr std::string_view kStyle =
    ":root{color-scheme:light dark;--fg:#1d1d1f;--bg:#fff;--mute:#6e6e73;--line:#e5e5ea;--link:#0a58ca;"
    "--hover:#f2f2f7}"
    "@media(prefers-color-scheme:dark){:root{--fg:#f2f2f7;--bg:#1c1c1e;--mute:#98989d;--line:#38383a;"
    "--link:#6ea8fe;--hover:#2c2c2e}}"
    "*{box-sizing:border-box}"
    "body{margin:0;font:16px/1.4 system-ui,-apple-system,'Segoe UI',Roboto,sans-serif;color:var(--fg);"
    "background:var(--bg)}"
    "header,main{max-width:60rem;margin:0 auto;padding:0 1rem}"
    "h1{font-size:1.25rem;margin:1rem 0 .5rem;overflow-wrap:anywhere}"
    "h1 a{color:var(--link);text-decoration:none}"
    "a{color:var(--link)}"
    ".tools{display:flex;flex-wrap:wrap;gap:.5rem;align-items:center;margin:.5rem 0}"
    ".tools a,.tools input{min-height:44px;display:inline-flex;align-items:center;padding:0 .9rem;"
    "border:1px solid var(--line);border-radius:.5rem;text-decoration:none;font:inherit;color:inherit}"
    ".tools a{color:var(--link)}"
    ".tools .small{font-size:.85rem;padding:0 .6rem}"
    ".tools input{flex:1 1 10rem;background:var(--bg)}"
    "table{width:100%;border-collapse:collapse}"
    "th{text-align:left;font-weight:600;border-bottom:2px solid var(--line)}"
    "th a{display:block;padding:.6rem .4rem;text-decoration:none;color:inherit}"
    "td{border-bottom:1px solid var(--line);padding:0 .4rem;white-space:nowrap}"
    "td.n{white-space:normal;overflow-wrap:anywhere;width:100%;padding:0}"
    "td.n a{display:flex;align-items:center;gap:.6rem;min-height:44px;padding:.4rem;text-decoration:none}"
    "tr:hover td{background:var(--hover)}"
    ".s,.m{color:var(--mute);font-size:.9rem;text-align:right}"
    "th.s,th.m{text-align:right}"
    "td.n a::before{content:'';flex:none;width:24px;height:24px;background:#8e8e93;"
    "-webkit-mask:var(--icon) center/24px no-repeat;mask:var(--icon) center/24px no-repeat;"
    "--icon:url(\"data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 24 24'%3E"
    "%3Cpath d='M6 2h8l6 6v12a2 2 0 0 1-2 2H6a2 2 0 0 1-2-2V4a2 2 0 0 1 2-2z'/%3E%3Cpath fill-opacity='.5' "
    "d='M14 2v6h6z'/%3E%3C/svg%3E\")}"
    "td.n a.d::before{background:#e0a526;--icon:url(\"data:image/svg+xml,%3Csvg "
    "xmlns='http://www.w3.org/2000/svg' viewBox='0 0 24 24'%3E%3Cpath d='M2 6a2 2 0 0 1 2-2h5l2 2h9a2 2 0 0 "
    "1 2 2v10a2 2 0 0 1-2 2H4a2 2 0 0 1-2-2z'/%3E%3C/svg%3E\")}"
    "td.n a.i::before{background:#34c759}td.n a.a::before{background:#af52de}"
    "td.n a.v::before{background:#ff3b30}td.n a.t::before{background:#0a84ff}"
    "td.n a.z::before{background:#a2845e}"
    ".foot{color:var(--mute);font-size:.9rem;margin:1rem 0 2rem}"
    "@media(max-width:36rem){td.m,th.m{display:none}}";

// A small filter over the names, for browsers with script; the page works
// the same without it.
constexpr std::string_view kFilterScript =
    "<script>(function(){var f=document.getElementById('filter');if(!f)return;f.hidden=false;"
    "var rows=document.querySelectorAll('tbody tr');f.addEventListener('input',function(){"
    "var q=f.value.toLowerCase();for(var i=0;i<rows.length;i++){var r=rows[i];"
    "r.hidden=q!==''&&r.cells[0].textContent.toLowerCase().indexOf(q)<0;}});})();</script>";

std::uint64_t Mix(std::uint64_t hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void AppendHex(std::string& out, std::uint64_t value) {
  char text[20];
  const int length = std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  out.append(text, static_cast<std::size_t>(length));
}

}  // namespace

TListingRequest ParseListingRequest(std::string_view query, std::string_view accept) {
  TListingRequest request;
  bool format_given = false;
  while (!query.empty()) {
    const std::string_view parameter = NextQueryParameter(query);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = parameter.substr(0, equals);
    const std::string_view value = parameter.substr(equals + 1);
    if (key == "sort") {
      if (value == "name") request.order.sort = TListingSort::kName;
      if (value == "size") request.order.sort = TListingSort::kSize;
      if (value == "time") request.order.sort = TListingSort::kTime;
    } else if (key == "order") {
      if (value == "asc") request.order.descending = false;
      if (value == "desc") request.order.descending = true;
    } else if (key == "format") {
      if (value == "json") request.json = true;
      if (value == "html") request.json = false;
      format_given = value == "json" || value == "html";
    }
  }
  if (!format_given) {
    const auto names = [&](std::string_view type) { return IndexOfText(type, accept, 1, false) > 0; };
    request.json = names("application/json") && !names("text/html");
  }
  return request;
}

void SortListing(std::vector<TListingEntry>& entries, TListingOrder order) {
  const auto before = [order](const TListingEntry& a, const TListingEntry& b) {
    if (a.folder != b.folder) return a.folder;
    int by_key = 0;
    switch (order.sort) {
      case TListingSort::kName:
        break;
      case TListingSort::kSize:
        if (a.size != b.size) by_key = a.size < b.size ? -1 : 1;
        break;
      case TListingSort::kTime:
        if (a.modified_s != b.modified_s) {
          by_key = a.modified_s < b.modified_s ? -1 : 1;
        } else if (a.modified_ns != b.modified_ns) {
          by_key = a.modified_ns < b.modified_ns ? -1 : 1;
        }
        break;
    }
    if (by_key == 0) by_key = CompareNames(a.name, b.name);
    return order.descending ? by_key > 0 : by_key < 0;
  };
  std::sort(entries.begin(), entries.end(), before);
}

void AppendDisplayName(std::string& out, std::string_view name) {
  ForEachCharacter(
      name,
      [&](char c) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
          out += kReplacement;
          return;
        }
        switch (c) {
          case '&':
            out += "&amp;";
            break;
          case '<':
            out += "&lt;";
            break;
          case '>':
            out += "&gt;";
            break;
          case '"':
            out += "&quot;";
            break;
          case '\'':
            out += "&#39;";
            break;
          default:
            out += c;
        }
      },
      [&](std::string_view sequence) { out += sequence; });
}

void AppendEncodedPath(std::string& out, std::string_view path) { AppendPercentEncoded(out, path, true); }

void AppendJSONString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  ForEachCharacter(
      text,
      [&](char c) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
          out += '\\';
          out += c;
        } else if (b < 0x20 || b == 0x7F) {
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 15];
        } else {
          out += c;
        }
      },
      [&](std::string_view sequence) { out += sequence; });
  out += '"';
}

void AppendSizeText(std::string& out, std::int64_t size) {
  if (size < 1000) {
    AppendNumber(out, std::max<std::int64_t>(size, 0));
    out += " B";
    return;
  }
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(size);
  std::size_t unit = 0;
  value /= 1000;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  // One decimal while it says something (1.5 kB), whole units from 10 up.
  const int length = value < 9.95 ? std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit])
                                  : std::snprintf(text, sizeof text, "%.0f %s", value, kUnits[unit]);
  out.append(text, static_cast<std::size_t>(length));
}

void AppendRFC3339(std::string& out, std::int64_t unix_seconds) {
  const auto time = static_cast<std::time_t>(unix_seconds);
  struct tm parts {};
  if (!::gmtime_r(&time, &parts)) {
    out += "1970-01-01T00:00:00Z";
    return;
  }
  AppendDateAndMinute(out, parts, 'T');
  out += ':';
  AppendDigits(out, parts.tm_sec, 2);
  out += 'Z';
}

void AppendListingHead(std::string& out, const TListingPage& page) {
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
      "<meta name=\"color-scheme\" content=\"light dark\">\n<title>Index of ";
  AppendDisplayName(out, page.path);
  out += "</title>\n<style>";
  out += kStyle;
  out += "</style></head>\n<body><header><h1><nav aria-label=\"Folders\">";
  // Breadcrumbs: each folder on the way, linked.
  out += "<a href=\"/\">Home</a>";
  std::size_t start = 1;
  while (start < page.path.size()) {
    const std::size_t slash = page.path.find('/', start);
    if (slash == std::string_view::npos) break;
    out += " / <a href=\"";
    AppendEncodedPath(out, page.path.substr(0, slash + 1));
    out += '"';
    if (slash + 1 == page.path.size()) out += " aria-current=\"page\"";
    out += '>';
    AppendDisplayName(out, page.path.substr(start, slash - start));
    out += "</a>";
    start = slash + 1;
  }
  out += "</nav></h1></header>\n<main><div class=\"tools\">";
  if (page.path.size() > 1) {
    // The folder above: the path without its last folder.
    const std::size_t parent_end = page.path.rfind('/', page.path.size() - 2);
    out += "<a href=\"";
    AppendEncodedPath(out, page.path.substr(0, parent_end + 1));
    out += "\" rel=\"up\">\xE2\x86\x91 Up</a>";
  }
  out +=
      "<a href=\"?download=zip\" download>Download all</a>"
      "<a class=\"small\" href=\"?download=tar\" download>tar</a>"
      "<input id=\"filter\" type=\"search\" placeholder=\"Filter\" aria-label=\"Show only names with\" "
      "hidden></div>\n";
  // The place of an upload form, when there is one.
  out += page.upload_form_html;
  out += "<table><thead><tr>";
  AppendSortHeading(out, page, TListingSort::kName, "name", "Name", "n");
  AppendSortHeading(out, page, TListingSort::kSize, "size", "Size", "s");
  AppendSortHeading(out, page, TListingSort::kTime, "time", "Modified", "m");
  out += "</tr></thead>\n<tbody>\n";
}

void AppendListingRow(std::string& out, const TListingPage& page, const TListingEntry& entry) {
  out += "<tr><td class=\"n\"><a class=\"";
  out += IconClass(entry);
  out += "\" href=\"";
  AppendEntryURL(out, page, entry);
  out += "\">";
  AppendDisplayName(out, entry.name);
  if (entry.folder) out += '/';
  out += "</a></td><td class=\"s\">";
  if (entry.folder) {
    out += "\xE2\x80\x94";  // —
  } else {
    AppendSizeText(out, entry.size);
  }
  out += "</td><td class=\"m\"><time datetime=\"";
  AppendRFC3339(out, entry.modified_s);
  out += "\">";
  AppendLocalTime(out, entry.modified_s);
  out += "</time></td></tr>\n";
}

void AppendListingFoot(std::string& out, const TListingPage&, const TListingTotals& totals) {
  out += "</tbody></table>\n<p class=\"foot\">";
  AppendNumber(out, static_cast<std::int64_t>(totals.folders));
  out += totals.folders == 1 ? " folder, " : " folders, ";
  AppendNumber(out, static_cast<std::int64_t>(totals.files));
  out += totals.files == 1 ? " file" : " files";
  if (totals.left_out > 0) {
    out += "; ";
    AppendNumber(out, static_cast<std::int64_t>(totals.left_out));
    out += totals.left_out == 1 ? " more entry is" : " more entries are";
    out += " not listed (a listing holds at most ";
    AppendNumber(out, static_cast<std::int64_t>(TFolderListing::kMaxListedEntries));
    out += " entries)";
  }
  out += "</p></main>\n";
  out += kFilterScript;
  out += "\n</body></html>\n";
}

void AppendListingJSONHead(std::string& out, const TListingPage& page) {
  out += "{\"path\":";
  AppendJSONString(out, page.path);
  out += ",\"entries\":[";
}

void AppendListingJSONRow(std::string& out, const TListingPage& page, const TListingEntry& entry,
                          bool first) {
  out += first ? "\n" : ",\n";
  out += "{\"name\":";
  AppendJSONString(out, entry.name);
  out += entry.folder ? ",\"type\":\"folder\",\"size\":null" : ",\"type\":\"file\",\"size\":";
  if (!entry.folder) AppendNumber(out, entry.size);
  out += ",\"modified\":\"";
  AppendRFC3339(out, entry.modified_s);
  out += "\",\"url\":\"";
  // Percent-encoded: nothing in it needs a JSON escape.
  AppendEntryURL(out, page, entry);
  out += "\"}";
}

void AppendListingJSONFoot(std::string& out, const TListingPage&, const TListingTotals& totals) {
  out += "\n],\"left_out\":";
  AppendNumber(out, static_cast<std::int64_t>(totals.left_out));
  out += "}\n";
}

// ---- TFolderListing ---------------------------------------------------------

namespace {

constexpr std::size_t kNameBlockBytes = 64 * 1024;

bool IsNeverServedFile(const struct stat& found, const TMapRules& rules) {
  return rules.NeverServedFiles ? rules.NeverServedFiles->Holds(found)
                                : IsSameFileAsAny(found, rules.NeverServed);
}

// The real path of `pub_dir` with a final "/"; empty when it has none.
std::string RealPublishedDirectory(std::string_view pub_dir) {
  const std::string base(pub_dir.empty() ? std::string_view(kEmptyPubDirBase) : pub_dir);
  char* resolved = ::realpath(base.c_str(), nullptr);
  if (!resolved) return std::string();
  std::string real(resolved);
  std::free(resolved);
  if (real.empty() || real.back() != '/') real.push_back('/');
  return real;
}

}  // namespace

std::string_view TFolderListing::Keep(std::string_view name) {
  if (blocks_.empty() || block_used_ + name.size() > kNameBlockBytes) {
    blocks_.push_back(std::make_unique<char[]>(std::max(kNameBlockBytes, name.size())));
    block_used_ = 0;
  }
  char* at = blocks_.back().get() + block_used_;
  std::memcpy(at, name.data(), name.size());
  block_used_ += name.size();
  name_bytes_ += name.size();
  return std::string_view(at, name.size());
}

void TFolderListing::Add(const TListingEntry& entry) {
  if (entries_.size() >= kMaxListedEntries || name_bytes_ + entry.name.size() > kMaxListedNameBytes) {
    ++totals_.left_out;
    return;
  }
  TListingEntry kept = entry;
  kept.name = Keep(entry.name);
  entries_.push_back(kept);
  ++(entry.folder ? totals_.folders : totals_.files);
}

void TFolderListing::ReadFolder(int handle, const std::string& folder_path, std::string_view pub_dir,
                                const TMapRules& rules, TListingOrder order) {
  const int own = ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
  if (own < 0) throw EFolderListing("Cannot read folder " + folder_path + ": " + std::strerror(errno));
  DIR* dir = ::fdopendir(own);
  if (!dir) {
    const int error = errno;
    ::close(own);
    throw EFolderListing("Cannot read folder " + folder_path + ": " + std::strerror(error));
  }
  struct Closer {
    DIR* dir;
    ~Closer() { ::closedir(dir); }
  } closer{dir};
  ::rewinddir(dir);
  const int dir_handle = ::dirfd(dir);
  // Looked up at the first link met: most folders have none.
  std::string real_pub;
  bool real_pub_known = false;
  std::string target;
  for (;;) {
    errno = 0;
    const struct dirent* found = ::readdir(dir);
    if (!found) {
      if (errno != 0) throw EFolderListing("Cannot read folder " + folder_path + ": " + std::strerror(errno));
      break;
    }
    const std::string_view name = found->d_name;
    if (name == "." || name == "..") continue;
    if (!rules.ServeHidden && name.front() == '.') continue;
    // Only what a request could be served is looked at further: regular
    // files, folders, and links (as what they lead to).
    bool link = found->d_type == DT_LNK;
    struct stat status {};
    if (found->d_type == DT_UNKNOWN) {
      if (::fstatat(dir_handle, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      link = S_ISLNK(status.st_mode);
      if (!link && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) continue;
    } else if (!link && found->d_type != DT_REG && found->d_type != DT_DIR) {
      continue;
    }
    // A link that leads nowhere serves nothing.
    if (::fstatat(dir_handle, found->d_name, &status, 0) != 0) continue;
    const bool folder = S_ISDIR(status.st_mode);
    if (!folder && !S_ISREG(status.st_mode)) continue;
    if (!folder && IsNeverServedFile(status, rules)) continue;
    if (link && !rules.ServeHidden) {
      // A link to a hidden name inside the published directory is not
      // followed to it; one that leads out of it is the publisher's choice.
      if (!real_pub_known) {
        real_pub = RealPublishedDirectory(pub_dir);
        real_pub_known = true;
      }
      target = folder_path;
      target += name;
      char* resolved = ::realpath(target.c_str(), nullptr);
      if (!resolved) continue;
      const std::string real(resolved);
      std::free(resolved);
      if (!real_pub.empty() && real.starts_with(real_pub) &&
          HasHiddenSegment(std::string_view(real).substr(real_pub.size())))
        continue;
    }
    TListingEntry entry;
    entry.name = name;
    entry.folder = folder;
    entry.size = folder ? 0 : static_cast<std::int64_t>(status.st_size);
    entry.modified_s = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    entry.modified_ns = static_cast<std::int32_t>(status.st_mtim.tv_nsec);
    Add(entry);
  }
  SortListing(entries_, order);
}

std::string TFolderListing::EntityTag(const struct stat& folder, const TListingRequest& request) const {
  std::uint64_t digest = 0xcbf29ce484222325ULL;
  const unsigned char representation[] = {static_cast<unsigned char>(request.json),
                                          static_cast<unsigned char>(request.order.sort),
                                          static_cast<unsigned char>(request.order.descending)};
  digest = Mix(digest, representation, sizeof representation);
  for (const TListingEntry& entry : entries_) {
    digest = Mix(digest, entry.name.data(), entry.name.size());
    const std::int64_t values[] = {entry.folder ? -1 : entry.size, entry.modified_s, entry.modified_ns};
    digest = Mix(digest, values, sizeof values);
  }
  const std::uint64_t left_out = totals_.left_out;
  digest = Mix(digest, &left_out, sizeof left_out);
  std::string tag = "\"d";
  AppendHex(tag, static_cast<std::uint64_t>(folder.st_dev));
  tag += '-';
  AppendHex(tag, static_cast<std::uint64_t>(folder.st_ino));
  tag += '-';
  AppendHex(tag, static_cast<std::uint64_t>(folder.st_ctim.tv_sec) * 1000000000u +
                     static_cast<std::uint64_t>(folder.st_ctim.tv_nsec));
  tag += '-';
  AppendHex(tag, digest);
  tag += '"';
  return tag;
}

// ---- TFolderListingReader ---------------------------------------------------

TFolderListingReader::TFolderListingReader(std::unique_ptr<TFolderListing> listing, std::string path,
                                           TListingRequest request, std::string upload_form_html)
    : listing_(std::move(listing)),
      path_(std::move(path)),
      request_(request),
      upload_form_html_(std::move(upload_form_html)) {}

void TFolderListingReader::SetPosition(int64_t position) {
  if (position != position_) throw EReader("SetPosition failed");
}

bool TFolderListingReader::AtEnd() { return done_ && piece_read_ == piece_.size(); }

bool TFolderListingReader::MakePiece() {
  piece_.clear();
  piece_read_ = 0;
  if (done_) return false;
  const TListingPage page{path_, request_.order, upload_form_html_};
  const std::vector<TListingEntry>& entries = listing_->Entries();
  if (next_ == 0) {
    if (request_.json) {
      AppendListingJSONHead(piece_, page);
    } else {
      AppendListingHead(piece_, page);
    }
    next_ = 1;
  }
  while (piece_.size() < kPieceBytes && next_ <= entries.size()) {
    const TListingEntry& entry = entries[next_ - 1];
    if (request_.json) {
      AppendListingJSONRow(piece_, page, entry, next_ == 1);
    } else {
      AppendListingRow(piece_, page, entry);
    }
    ++next_;
  }
  if (piece_.size() < kPieceBytes && next_ > entries.size()) {
    if (request_.json) {
      AppendListingJSONFoot(piece_, page, listing_->Totals());
    } else {
      AppendListingFoot(piece_, page, listing_->Totals());
    }
    done_ = true;
  }
  return true;
}

int32_t TFolderListingReader::Read(char* buffer, int32_t count) {
  // Fills the whole buffer while the page goes on: a short read would tell
  // the writer that nothing more is ready at once.
  std::size_t done = 0;
  const std::size_t wanted = count > 0 ? static_cast<std::size_t>(count) : 0;
  while (done < wanted) {
    if (piece_read_ == piece_.size() && !MakePiece()) break;
    const std::size_t n = std::min(wanted - done, piece_.size() - piece_read_);
    std::memcpy(buffer + done, piece_.data() + piece_read_, n);
    piece_read_ += n;
    done += n;
  }
  position_ += static_cast<int64_t>(done);
  return static_cast<int32_t>(done);
}

std::string_view MappedFolderPath(std::string_view local_path, std::string_view pub_dir) {
  std::size_t base = pub_dir.empty() ? std::char_traits<char>::length(kEmptyPubDirBase) : pub_dir.size();
  if (!pub_dir.empty() && pub_dir.back() != '/') ++base;
  const std::size_t end = local_path.rfind('/');
  // The mapped path begins with the base, whose last byte is "/": the
  // folder's path begins there.
  if (base == 0 || end == std::string_view::npos || end + 1 < base) return "/";
  return local_path.substr(base - 1, end + 2 - base);
}

namespace {

// A folder opened for a listing may be shown: unless hidden files are
// served, it was not reached through a link to a hidden name inside the
// published directory (the mapping judged the name it was asked by).
bool MayListOpenedFolder(int handle, std::string_view pub_dir, const TMapRules& rules) {
  if (rules.ServeHidden) return true;
  char link[32];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
  std::string real(PATH_MAX, '\0');
  const ssize_t length = ::readlink(link, real.data(), real.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= real.size()) return false;
  real.resize(static_cast<std::size_t>(length));
  real.push_back('/');
  const std::string real_pub = RealPublishedDirectory(pub_dir);
  if (real_pub.empty() || !real.starts_with(real_pub)) return true;
  return !HasHiddenSegment(std::string_view(real).substr(real_pub.size()));
}

}  // namespace

std::unique_ptr<ThttpResponse> CreateListingResponse(const std::string& folder_path, std::string_view pub_dir,
                                                     const TMapRules& rules, const TListingRequest& request,
                                                     std::unique_ptr<ThttpResponse> response,
                                                     std::string upload_form_html) {
  const int handle = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return nullptr;
  struct Closer {
    int handle;
    ~Closer() { ::close(handle); }
  } closer{handle};
  struct stat folder {};
  if (::fstat(handle, &folder) != 0 || !MayListOpenedFolder(handle, pub_dir, rules)) return nullptr;
  auto listing = std::make_unique<TFolderListing>();
  try {
    listing->ReadFolder(handle, folder_path, pub_dir, rules, request.order);
  } catch (const EFolderListing&) {
    return nullptr;
  }
  if (!response) response = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, std::string(), nullptr, "OK");
  response->SetContentType(request.json ? "application/json" : "text/html; charset=utf-8");
  response->ETag = listing->EntityTag(folder, request);
  response->LastLines.reserve(2);
  response->AddLastLine("Cache-Control: no-cache");
  response->AddLastLine("Vary: Accept");
  auto body = std::make_unique<TFolderListingReader>(std::move(listing),
                                                     std::string(MappedFolderPath(folder_path, pub_dir)),
                                                     request, std::move(upload_form_html));
  response->SetContentReader(std::move(body));
  return response;
}

}  // namespace vt
