#include "http/conditional.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "http/http_text.h"
#include "http/protocol.h"
#include "util/date_time.h"

namespace vt {
namespace {

using detail::IsHttpWhitespace;
using detail::Trimmed;

struct TEntityTag {
  std::string_view opaque;  // the quoted text, quotes included
  bool weak = false;
};

// The entity tag at `pos` of `text` ([W/]"..."), after blanks; `pos` moves
// past it. Nothing when the text there is no entity tag; `pos` then moves
// to the next comma, so that the members after it are still read.
std::optional<TEntityTag> NextEntityTag(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && IsHttpWhitespace(text[pos])) ++pos;
  TEntityTag tag;
  std::size_t start = pos;
  if (text.substr(start, 2) == "W/") {
    tag.weak = true;
    start += 2;
  }
  if (start < text.size() && text[start] == '"') {
    const std::size_t close = text.find('"', start + 1);
    if (close != std::string_view::npos) {
      tag.opaque = text.substr(start, close + 1 - start);
      pos = close + 1;
      return tag;
    }
  }
  pos = text.find(',', pos);
  if (pos == std::string_view::npos) pos = text.size();
  return std::nullopt;
}

// The entity tag that a whole text is; nothing when it is anything else.
std::optional<TEntityTag> OnlyEntityTag(std::string_view text) {
  std::size_t pos = 0;
  std::optional<TEntityTag> tag = NextEntityTag(text, pos);
  while (pos < text.size() && IsHttpWhitespace(text[pos])) ++pos;
  return pos == text.size() ? tag : std::nullopt;
}

bool TagsMatch(const TEntityTag& a, const TEntityTag& b, bool strong) {
  return a.opaque == b.opaque && (!strong || (!a.weak && !b.weak));
}

// The values of every field named `name`, joined with commas: a list may
// come in several lines. Nothing when the request has no such field.
std::optional<std::string> ListField(const ThttpRequest& request, std::string_view name) {
  const THeader* header = request.Header();
  if (!header) return std::nullopt;
  std::optional<std::string> list;
  for (int i = 0; i < header->Count(); ++i) {
    const AHeaderField* field = header->Fields(i);
    if (!field->HasName(name)) continue;
    list = list ? *list + "," + field->GetValue() : field->GetValue();
  }
  return list;
}

// The first field named `name` as an HTTP date in seconds since the Unix
// epoch; nothing when there is none or its value is no date.
std::optional<std::int64_t> DateField(const ThttpRequest& request, std::string_view name) {
  const THeader* header = request.Header();
  if (!header || !header->HasField(name)) return std::nullopt;
  try {
    const TDateTime date = ParseHTTPDateTime(Trimmed(header->GetFieldValue(name)));
    if (date == 0) return std::nullopt;
    return std::llround((date - kUnixEpochDateTime) * 86400.0);
  } catch (const Exception&) {
    return std::nullopt;  // names no day of the calendar
  }
}

// The status the preconditions answer with instead of 200 (304 or 412), or
// 0 when they hold.
int32_t FailedPrecondition(const ThttpRequest& request, const ThttpResponse& response) {
  const bool get_or_head = request.Method == "GET" || request.Method == "HEAD";
  const std::optional<std::int64_t>& modified = response.LastModified;
  if (const std::optional<std::string> match = ListField(request, "If-Match")) {
    if (!EntityTagListMatches(*match, response.ETag, true)) return 412;
  } else if (const std::optional<std::int64_t> since = DateField(request, "If-Unmodified-Since")) {
    if (modified && *modified > *since) return 412;
  }
  if (const std::optional<std::string> none_match = ListField(request, "If-None-Match")) {
    if (EntityTagListMatches(*none_match, response.ETag, false)) return get_or_head ? 304 : 412;
  } else if (get_or_head) {
    const std::optional<std::int64_t> since = DateField(request, "If-Modified-Since");
    if (since && modified && *modified <= *since) return 304;
  }
  return 0;
}

// Whether a Range may apply: no If-Range, or one that names the version
// answered.
bool IfRangeHolds(const ThttpRequest& request, const ThttpResponse& response) {
  const THeader* header = request.Header();
  if (!header || !header->HasField("If-Range")) return true;
  const std::string value = Trimmed(header->GetFieldValue("If-Range"));
  if (!value.empty() && (value[0] == '"' || value.starts_with("W/"))) {
    const std::optional<TEntityTag> asked = OnlyEntityTag(value);
    std::size_t pos = 0;
    const std::optional<TEntityTag> current = NextEntityTag(response.ETag, pos);
    return asked && current && TagsMatch(*asked, *current, true);
  }
  const std::optional<std::int64_t> date = DateField(request, "If-Range");
  return date && response.LastModified && *date == *response.LastModified;
}

// Whether the request has a field that makes its answer conditional or a
// part: most have none, and then nothing more need be looked up.
bool HasConditionFields(const ThttpRequest& request) {
  const THeader* header = request.Header();
  if (!header) return false;
  static constexpr std::string_view kNames[] = {"If-Match", "If-None-Match", "If-Modified-Since",
                                                "If-Unmodified-Since", "Range"};
  static const auto kKeys = [] {
    std::array<std::uint32_t, std::size(kNames)> keys{};
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = AHeaderField::KeyOfName(kNames[i]);
    return keys;
  }();
  for (int i = 0; i < header->Count(); ++i) {
    const AHeaderField& field = *header->Fields(i);
    for (std::size_t n = 0; n < kKeys.size(); ++n) {
      if (field.MatchesName(kNames[n], kKeys[n])) return true;
    }
  }
  return false;
}

void ClearRange(ThttpResponse& response) {
  response.RangeStart = -1;
  response.RangeEnd = -1;
}

}  // namespace

bool EntityTagListMatches(std::string_view list, std::string_view etag, bool strong) {
  if (Trimmed(list) == "*") return true;
  std::size_t pos = 0;
  const std::optional<TEntityTag> current = NextEntityTag(etag, pos);
  if (!current) return false;
  pos = 0;
  while (pos < list.size()) {
    if (list[pos] == ',' || IsHttpWhitespace(list[pos])) {
      ++pos;
      continue;
    }
    const std::optional<TEntityTag> tag = NextEntityTag(list, pos);
    if (tag && TagsMatch(*tag, *current, strong)) return true;
  }
  return false;
}

void ApplyRequestConditions(const ThttpRequest& request, ThttpResponse& response) {
  if (response.StatusCode != 200) return;
  if (!HasConditionFields(request)) {
    ClearRange(response);
    return;
  }
  const int32_t failed =
      response.ETag.empty() && !response.LastModified ? 0 : FailedPrecondition(request, response);
  if (failed == 304) {
    response.SetStatusCode(304);
    response.ReasonPhrase.clear();
    ClearRange(response);
    response.SetContentText(std::string());  // lets go of the file at once
    THeader& header = response.GetHeader();
    for (const char* name : {"Content-Type", "Content-Encoding", "Content-Language"})
      header.DeleteFields(name);
    return;
  }
  if (failed == 412) {
    response.SetStatusCode(412);
    response.ReasonPhrase.clear();
    ClearRange(response);
    response.SetContentText(HTMLErrorPage(GetReasonPhrase(412),
                                          "The resource has changed since your client last saw it.",
                                          std::string(), std::string()));
    response.SetContentType("text/html");
    return;
  }
  std::int64_t start = -1;
  std::int64_t end = -1;
  // A HEAD answer is the head of the whole body's answer.
  if (request.Method != "HEAD" && request.GetRange(start, end) && IfRangeHolds(request, response)) {
    response.SetRange(start, end);
  } else {
    ClearRange(response);
  }
}

}  // namespace vt
