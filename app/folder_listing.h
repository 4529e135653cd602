#pragma once

// Folder listings: the page (HTML) or the document (JSON) that answers a
// request for a folder without a default document while listings are on.
//
// Two layers:
//
// - The pure part: entries in, sorted, escaped and encoded text out.
//   ParseListingRequest reads the query (`sort=name|size|time`,
//   `order=asc|desc`, `format=json`) and the Accept field; SortListing
//   orders the entries (folders first, whatever the order); the Append*
//   functions write the pieces of the page (head, one row, foot) so that a
//   reader can hand them out as they are made.
//
// - TFolderListing gathers a folder's entries (ReadFolder) under the
//   serving rules: an entry is listed exactly when a request for it would be
//   served. Hidden names (unless hidden files are served), the files never
//   served, what is neither a regular file nor a folder (devices, sockets,
//   pipes), and symbolic links that lead nowhere or to a hidden name inside
//   the published directory are left out. A link is listed as what it
//   leads to (its size, its time, file or folder). TFolderListingReader then
//   streams the page out of it, a piece at a time (its size is unknown: -1).
//
// Names are bytes as the file system has them. On the page they are shown
// as UTF-8: a byte that is no part of valid UTF-8, or a control byte, shows
// as U+FFFD; the rest is escaped for HTML. Links carry the name's own bytes,
// percent-encoded (every byte but letters, digits and "-._~"), and are
// absolute paths, so neither a ":" nor a leading dash in a name can make a
// link mean something else.
//
// Memory. Sorting needs every name at once, so a listing keeps one compact
// record per entry (a view of its name, size, time and kind: 40 bytes) and
// the names themselves in blocks of 64 KiB. Both are bounded: at most
// kMaxListedEntries entries and kMaxListedNameBytes bytes of names; entries
// past either bound are counted, not listed, and the foot of the page says
// how many were left out (those are the ones the folder yields last, not the
// last in the page's order). The page itself is never held whole: the
// reader makes it in pieces of about kPieceBytes.
//
// Validator. The entity tag is made from the folder's device, inode and
// change time (ns), and a digest of the listed entries (name, kind, size,
// modification time) and of the representation (HTML or JSON, the order):
// a file written in place changes its size or time but not the folder's
// change time, and the digest notices it.
//
// Threads: a listing and its reader belong to one thread (the connection's
// worker). The pure functions are safe on any thread.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/message.h"
#include "streams/reader.h"

namespace vt {

struct TMapRules;

enum class TListingSort : std::uint8_t { kName, kSize, kTime };

struct TListingOrder {
  TListingSort sort = TListingSort::kName;
  bool descending = false;
};

// What a request asks of a listing.
struct TListingRequest {
  TListingOrder order;
  bool json = false;
};

// The query (as sent, still encoded) and the Accept field's value. Unknown
// parameters and values are ignored (a typo gives the default page, not an
// error). JSON is chosen by `format=json`, or by an Accept field that names
// application/json and not text/html (a browser's Accept names both).
TListingRequest ParseListingRequest(std::string_view query, std::string_view accept);

// One entry: `name` views bytes kept by whoever made it.
struct TListingEntry {
  std::string_view name;
  std::int64_t size = 0;
  // Seconds and nanoseconds since the epoch.
  std::int64_t modified_s = 0;
  std::int32_t modified_ns = 0;
  bool folder = false;
};

// Folders first; then by the order's key (ties by name, names by their
// ASCII letters folded, then by their bytes), ascending or descending.
void SortListing(std::vector<TListingEntry>& entries, TListingOrder order);

// What the page shows besides its entries.
struct TListingPage {
  // The folder's path as the request named it (decoded), ending in "/".
  std::string_view path;
  TListingOrder order;
  // Markup put above the table as it is (an upload form); empty: none.
  std::string_view upload_form_html;
};

// The counts the foot tells.
struct TListingTotals {
  std::size_t folders = 0;
  std::size_t files = 0;
  // Entries that would be listed but passed the bounds (see above).
  std::size_t left_out = 0;
};

// The pieces of the HTML page: everything up to the first row, one row,
// and the rest.
void AppendListingHead(std::string& out, const TListingPage& page);
void AppendListingRow(std::string& out, const TListingPage& page, const TListingEntry& entry);
void AppendListingFoot(std::string& out, const TListingPage& page, const TListingTotals& totals);

// The same for JSON: {"path": ..., "entries": [{"name", "type" ("file" or
// "folder"), "size" (null for a folder), "modified" (RFC 3339, UTC),
// "url"}, ...], "left_out": n}. "name" is the name as shown (U+FFFD for
// bytes that are no UTF-8, so that the document is valid JSON); "url" is
// the link with the name's own bytes.
void AppendListingJSONHead(std::string& out, const TListingPage& page);
void AppendListingJSONRow(std::string& out, const TListingPage& page, const TListingEntry& entry, bool first);
void AppendListingJSONFoot(std::string& out, const TListingPage& page, const TListingTotals& totals);

// `name` as UTF-8 text for a page: invalid bytes and control bytes as
// U+FFFD, then escaped for HTML.
void AppendDisplayName(std::string& out, std::string_view name);
// `path`'s bytes percent-encoded, "/" kept.
void AppendEncodedPath(std::string& out, std::string_view path);
// `text` as a JSON string, quotes included, invalid bytes as U+FFFD.
void AppendJSONString(std::string& out, std::string_view text);
// A size as people read it: "0 B", "999 B", "1.5 kB", "12 kB", "3.4 GB"
// (steps of 1000).
void AppendSizeText(std::string& out, std::int64_t size);
// The time in RFC 3339, UTC, whole seconds ("2024-03-01T12:00:00Z").
void AppendRFC3339(std::string& out, std::int64_t unix_seconds);

// The entries of one folder, gathered and sorted once.
class TFolderListing {
 public:
  // Bounds of one listing (see above).
  static constexpr std::size_t kMaxListedEntries = 200000;
  static constexpr std::size_t kMaxListedNameBytes = 16u << 20;

  TFolderListing() = default;
  TFolderListing(const TFolderListing&) = delete;
  TFolderListing& operator=(const TFolderListing&) = delete;

  // Reads the folder open at `handle` (borrowed; read from its start), whose
  // name is `folder_path` (ending in "/", below `pub_dir`), under `rules`,
  // then sorts it by `order`. Raises EFolderListing when it cannot be read.
  void ReadFolder(int handle, const std::string& folder_path, std::string_view pub_dir,
                  const TMapRules& rules, TListingOrder order);
  // For tests and benchmarks: an entry as it is, the name copied.
  void Add(const TListingEntry& entry);

  const std::vector<TListingEntry>& Entries() const { return entries_; }
  const TListingTotals& Totals() const { return totals_; }

  // The validator (quotes included) of this listing of the folder whose
  // status is `folder`, for the representation `request`.
  std::string EntityTag(const struct stat& folder, const TListingRequest& request) const;

 private:
  // Copies a name into the blocks; the view stays valid for the listing's
  // life.
  std::string_view Keep(std::string_view name);

  std::vector<TListingEntry> entries_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_used_ = 0;
  std::size_t name_bytes_ = 0;
  TListingTotals totals_;
};

// A folder that cannot be read (no right to, or removed while read).
VT_EXCEPTION_CLASS(EFolderListing, Exception);

// Streams a listing's page (HTML or JSON), made a piece at a time.
class TFolderListingReader : public AReaderEx {
 public:
  // The size of the pieces the page is made in.
  static constexpr std::size_t kPieceBytes = 32 * 1024;

  // `path`: the folder's decoded URL path ending in "/"; `upload_form_html`
  // as in TListingPage.
  TFolderListingReader(std::unique_ptr<TFolderListing> listing, std::string path, TListingRequest request,
                       std::string upload_form_html = std::string());

  int64_t GetPosition() override { return position_; }
  // Only the current position is accepted.
  void SetPosition(int64_t position) override;
  // Unknown: -1.
  int64_t GetSize() override { return -1; }
  // As many bytes as asked, fewer only at the end of the page.
  int32_t Read(char* buffer, int32_t count) override;
  bool AtEnd() override;

 private:
  // Makes the next piece into piece_; false when the page is complete.
  bool MakePiece();

  std::unique_ptr<TFolderListing> listing_;
  std::string path_;
  TListingRequest request_;
  std::string upload_form_html_;
  std::string piece_;
  std::size_t piece_read_ = 0;
  // 0 head not made; then rows 1..n; n + 1: foot made.
  std::size_t next_ = 0;
  bool done_ = false;
  int64_t position_ = 0;
};

// The folder's path as a client names it ("/a/b/"), from the folder's
// mapped path (MapRequestPath's local path for a folder, or the folder of
// its default document: up to and with its last "/") and the published
// directory the mapping was given.
std::string_view MappedFolderPath(std::string_view local_path, std::string_view pub_dir);

// The 200 answer with the listing of the folder at `folder_path` (a mapped
// folder, ending in "/"), filled into `response`: its type, an entity tag
// (see above), "Cache-Control: no-cache" (a folder changes under the
// server), "Vary: Accept" (JSON or HTML by that field) and the page as its
// body. Null when the folder cannot be opened or read, or is not to be
// shown: reached through a link to a hidden name inside the published
// directory while hidden files are not served.
std::unique_ptr<ThttpResponse> CreateListingResponse(const std::string& folder_path, std::string_view pub_dir,
                                                     const TMapRules& rules, const TListingRequest& request,
                                                     std::unique_ptr<ThttpResponse> response,
                                                     std::string upload_form_html = std::string());

}  // namespace vt
