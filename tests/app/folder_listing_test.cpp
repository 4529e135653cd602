// Folder listings: names shown and linked whatever bytes they hold, the
// orders, what is listed (exactly what would be served), the pieces of the
// page, the JSON read back, and the validator.

#include "app/folder_listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/request_path.h"
#include "support/scoped_time_zone.h"
#include "support/temp_dir.h"

namespace vt {
namespace {

// ---- A small JSON reader, enough to read a listing back ------------------

struct TJSON {
  enum Kind { kNull, kNumber, kString, kArray, kObject, kBool } kind = kNull;
  double number = 0;
  std::string text;
  std::vector<TJSON> items;
  std::map<std::string, TJSON> members;
};

class TJSONParser {
 public:
  explicit TJSONParser(std::string_view text) : text_(text) {}
  std::optional<TJSON> Document() {
    std::optional<TJSON> value = Value();
    Blank();
    if (at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  void Blank() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Take(char c) {
    Blank();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      const char c = text_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char e = text_[at_++];
      if (e == 'u') {
        if (at_ + 4 > text_.size()) return std::nullopt;
        const unsigned code =
            static_cast<unsigned>(std::stoul(std::string(text_.substr(at_, 4)), nullptr, 16));
        at_ += 4;
        if (code >= 0x80) return std::nullopt;  // the listing escapes only controls
        out += static_cast<char>(code);
      } else if (e == '"' || e == '\\' || e == '/') {
        out += e;
      } else {
        return std::nullopt;
      }
    }
    if (!Take('"')) return std::nullopt;
    return out;
  }
  std::optional<TJSON> Value() {
    Blank();
    TJSON value;
    if (at_ >= text_.size()) return std::nullopt;
    const char c = text_[at_];
    if (c == '"') {
      auto text = String();
      if (!text) return std::nullopt;
      value.kind = TJSON::kString;
      value.text = *text;
    } else if (c == '{') {
      ++at_;
      value.kind = TJSON::kObject;
      if (Take('}')) return value;
      do {
        Blank();
        auto key = String();
        if (!key || !Take(':')) return std::nullopt;
        auto member = Value();
        if (!member) return std::nullopt;
        value.members[*key] = *member;
      } while (Take(','));
      if (!Take('}')) return std::nullopt;
    } else if (c == '[') {
      ++at_;
      value.kind = TJSON::kArray;
      if (Take(']')) return value;
      do {
        auto item = Value();
        if (!item) return std::nullopt;
        value.items.push_back(*item);
      } while (Take(','));
      if (!Take(']')) return std::nullopt;
    } else if (text_.substr(at_, 4) == "null") {
      at_ += 4;
    } else {
      std::size_t end = at_;
      while (end < text_.size() &&
             (std::isdigit(static_cast<unsigned char>(text_[end])) || text_[end] == '-'))
        ++end;
      if (end == at_) return std::nullopt;
      value.kind = TJSON::kNumber;
      value.number = std::stod(std::string(text_.substr(at_, end - at_)));
      at_ = end;
    }
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

TListingEntry File(std::string_view name, std::int64_t size = 0, std::int64_t modified = 0) {
  TListingEntry entry;
  entry.name = name;
  entry.size = size;
  entry.modified_s = modified;
  return entry;
}

TListingEntry Folder(std::string_view name, std::int64_t modified = 0) {
  TListingEntry entry = File(name, 0, modified);
  entry.folder = true;
  return entry;
}

std::string Row(std::string_view path, const TListingEntry& entry) {
  std::string out;
  AppendListingRow(out, TListingPage{path, {}, {}}, entry);
  return out;
}

// The whole page of a listing through the reader, read `count` bytes at a
// time.
std::string ReadPage(std::unique_ptr<TFolderListing> listing, std::string path, TListingRequest request,
                     int32_t count = 4096, std::size_t* short_reads = nullptr) {
  TFolderListingReader reader(std::move(listing), std::move(path), request);
  EXPECT_EQ(-1, reader.GetSize());
  std::string page;
  std::vector<char> buffer(static_cast<std::size_t>(count));
  for (int32_t n; (n = reader.Read(buffer.data(), count)) > 0;) {
    page.append(buffer.data(), static_cast<std::size_t>(n));
    if (short_reads && n < count) ++*short_reads;
  }
  EXPECT_TRUE(reader.AtEnd());
  return page;
}

// The names a folder lists, in order.
std::vector<std::string> Names(const TFolderListing& listing) {
  std::vector<std::string> names;
  for (const TListingEntry& entry : listing.Entries())
    names.push_back(std::string(entry.name) + (entry.folder ? "/" : ""));
  return names;
}

std::vector<std::string> ReadNames(const std::string& folder, const std::string& pub_dir,
                                   const TMapRules& rules, TListingOrder order = {}) {
  TFolderListing listing;
  const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(handle, 0) << folder;
  listing.ReadFolder(handle, folder, pub_dir, rules, order);
  ::close(handle);
  return Names(listing);
}

// ---- Names ------------------------------------------------------------------

TEST(FolderListingNames, HostileNamesAreShownEscapedAndLinkedByTheirBytes) {
  const std::string long_name(255, 'n');
  const struct {
    const char* why;
    std::string name;
    std::string shown;
    std::string link;
  } cases[] = {
      {"a plain name", "notes.txt", "notes.txt", "notes.txt"},
      {"a space", "my file.txt", "my file.txt", "my%20file.txt"},
      {"a fragment mark would cut the link", "a#b", "a#b", "a%23b"},
      {"a query mark would start a query", "what?.txt", "what?.txt", "what%3F.txt"},
      {"a percent sign would be read as an escape", "100%.txt", "100%.txt", "100%25.txt"},
      {"an ampersand", "a&b", "a&amp;b", "a%26b"},
      {"quotes would end the attribute", "say \"hi\" 'x'", "say &quot;hi&quot; &#39;x&#39;",
       "say%20%22hi%22%20%27x%27"},
      {"markup stays text", "<script>x</script>", "&lt;script&gt;x&lt;/script&gt;",
       "%3Cscript%3Ex%3C%2Fscript%3E"},
      {"a leading dash survives", "-rf", "-rf", "-rf"},
      {"a colon would make a scheme of a relative link", "javascript:alert(1)", "javascript:alert(1)",
       "javascript%3Aalert%281%29"},
      {"a backslash", "a\\b", "a\\b", "a%5Cb"},
      {"a 255-byte name", long_name, long_name, long_name},
      {"valid UTF-8 is shown as it is", "caf\xC3\xA9", "caf\xC3\xA9", "caf%C3%A9"},
      {"a four-byte character", "\xF0\x9F\x93\xB7", "\xF0\x9F\x93\xB7", "%F0%9F%93%B7"},
      {"a byte of no UTF-8 (Latin-1)", "caf\xE9", "caf\xEF\xBF\xBD", "caf%E9"},
      {"an overlong slash", "a\xC0\xAF", "a\xEF\xBF\xBD\xEF\xBF\xBD", "a%C0%AF"},
      {"a surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "%ED%A0%80"},
      {"a sequence cut short", "x\xE2\x82", "x\xEF\xBF\xBD\xEF\xBF\xBD", "x%E2%82"},
      {"a line feed and a tab", "a\nb\tc",
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"
       "c",
       "a%0Ab%09c"},
  };
  for (const auto& c : cases) {
    std::string shown;
    AppendDisplayName(shown, c.name);
    EXPECT_EQ(c.shown, shown) << c.why;
    const std::string row = Row("/d i r/", File(c.name, 1));
    EXPECT_NE(std::string::npos, row.find("href=\"/d%20i%20r/" + c.link + "\"")) << c.why << "\n" << row;
    EXPECT_NE(std::string::npos, row.find(">" + c.shown + "</a>")) << c.why << "\n" << row;
    // Nothing of the name reaches the row as markup.
    std::string rest = row;
    for (const char* tag : {"<tr>", "<td class=\"n\">", "<a class=\"", "</a>", "</td>", "<td class=\"s\">",
                            "<td class=\"m\">", "<time datetime=\"", "</time>", "</tr>"}) {
      for (std::size_t at; (at = rest.find(tag)) != std::string::npos;) rest.erase(at, std::strlen(tag));
    }
    EXPECT_EQ(std::string::npos, rest.find('<')) << c.why << "\n" << row;
    EXPECT_EQ(12, std::count(row.begin(), row.end(), '"')) << c.why << "\n" << row;
  }
}

TEST(FolderListingNames, JSONStringsAreValidWhateverTheBytes) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"a\nb\x01", "\"a\\u000ab\\u0001\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"caf\xE9", "\"caf\xEF\xBF\xBD\""},
      {"</script>", "\"</script>\""},
      {"\x7F", "\"\\u007f\""},
  };
  for (const auto& c : cases) {
    std::string json;
    AppendJSONString(json, c.text);
    EXPECT_EQ(c.json, json) << c.text;
  }
}

TEST(FolderListingNames, SizesReadAsPeopleReadThem) {
  const struct {
    std::int64_t size;
    const char* text;
  } cases[] = {
      {0, "0 B"},
      {999, "999 B"},
      {1000, "1.0 kB"},
      {1500, "1.5 kB"},
      {9949, "9.9 kB"},
      {12345, "12 kB"},
      {999499, "999 kB"},
      {999999, "1.0 MB"},
      {3400000000, "3.4 GB"},
      {5000000000000, "5.0 TB"},
      {-1, "0 B"},
  };
  for (const auto& c : cases) {
    std::string text;
    AppendSizeText(text, c.size);
    EXPECT_EQ(c.text, text) << c.size;
  }
}

TEST(FolderListingNames, TheFolderPathComesFromTheMapping) {
  const struct {
    const char* local;
    const char* pub_dir;
    const char* path;
  } cases[] = {
      {"/srv/pub/", "/srv/pub", "/"},
      {"/srv/pub/", "/srv/pub/", "/"},
      {"/srv/pub/a/b/", "/srv/pub", "/a/b/"},
      {"/srv/pub/a/index.html", "/srv/pub", "/a/"},
      {"/inetpub/x/", "", "/x/"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.path, MappedFolderPath(c.local, c.pub_dir)) << c.local;
}

// ---- What a request asks for ----------------------------------------------

TEST(FolderListingRequests, QueryAndAcceptChooseOrderAndFormat) {
  constexpr auto kName = TListingSort::kName;
  constexpr auto kSize = TListingSort::kSize;
  constexpr auto kTime = TListingSort::kTime;
  const struct {
    const char* query;
    const char* accept;
    TListingSort sort;
    bool descending;
    bool json;
  } cases[] = {
      {"", "", kName, false, false},
      {"sort=size", "", kSize, false, false},
      {"sort=time&order=desc", "", kTime, true, false},
      {"order=desc", "", kName, true, false},
      {"sort=bogus&order=sideways", "", kName, false, false},
      {"format=json", "", kName, false, true},
      {"format=json&sort=size&order=desc", "", kSize, true, true},
      {"", "application/json", kName, false, true},
      {"", "Application/JSON; q=1", kName, false, true},
      // A browser names HTML too: it gets the page.
      {"", "text/html,application/xhtml+xml,application/json;q=0.9,*/*;q=0.8", kName, false, false},
      {"format=html", "application/json", kName, false, false},
      {"&&sort&=x&sort=size", "", kSize, false, false},
      {"download=zip", "", kName, false, false},
  };
  for (const auto& c : cases) {
    const TListingRequest request = ParseListingRequest(c.query, c.accept);
    EXPECT_EQ(c.sort, request.order.sort) << c.query << " " << c.accept;
    EXPECT_EQ(c.descending, request.order.descending) << c.query << " " << c.accept;
    EXPECT_EQ(c.json, request.json) << c.query << " " << c.accept;
  }
}

TEST(FolderListingRequests, SortOrdersKeepFoldersFirst) {
  const std::vector<TListingEntry> entries = {
      File("b.txt", 300, 10), File("A.txt", 100, 30), File("c.txt", 200, 20),
      Folder("zeta", 5),      Folder("Alpha", 50),    File("a.txt", 100, 30),
  };
  const struct {
    TListingOrder order;
    std::vector<std::string> names;
  } cases[] = {
      {{TListingSort::kName, false}, {"Alpha", "zeta", "A.txt", "a.txt", "b.txt", "c.txt"}},
      {{TListingSort::kName, true}, {"zeta", "Alpha", "c.txt", "b.txt", "a.txt", "A.txt"}},
      // Ties by name.
      {{TListingSort::kSize, false}, {"Alpha", "zeta", "A.txt", "a.txt", "c.txt", "b.txt"}},
      {{TListingSort::kSize, true}, {"zeta", "Alpha", "b.txt", "c.txt", "a.txt", "A.txt"}},
      {{TListingSort::kTime, false}, {"zeta", "Alpha", "b.txt", "c.txt", "A.txt", "a.txt"}},
      {{TListingSort::kTime, true}, {"Alpha", "zeta", "a.txt", "A.txt", "c.txt", "b.txt"}},
  };
  for (const auto& c : cases) {
    std::vector<TListingEntry> sorted = entries;
    SortListing(sorted, c.order);
    std::vector<std::string> names;
    for (const auto& entry : sorted) names.emplace_back(entry.name);
    EXPECT_EQ(c.names, names) << static_cast<int>(c.order.sort) << c.order.descending;
  }
}

// ---- What is listed ----------------------------------------------------------

TEST(FolderListingEntries, ExactlyWhatWouldBeServedIsListed) {
  test::TempDir dir;
  const std::string pub = dir.File("pub");
  dir.WriteFile("pub/a.txt", "aaa");
  dir.WriteFile("pub/sub/inner.txt", "x");
  dir.WriteFile("pub/.env", "SECRET=1");
  dir.WriteFile("pub/.git/config", "");
  dir.WriteFile("pub/vtWebServer.ini", "[WebServer]");
  dir.WriteFile("outside/shared.txt", "out");
  dir.WriteFile("outside/folder/x", "");
  ASSERT_EQ(0, ::symlink(".env", (pub + "/envlink.txt").c_str()));
  ASSERT_EQ(0, ::symlink(".git", (pub + "/gitdir").c_str()));
  ASSERT_EQ(0, ::symlink("a.txt", (pub + "/alias.txt").c_str()));
  ASSERT_EQ(0, ::symlink("sub", (pub + "/subalias").c_str()));
  ASSERT_EQ(0, ::symlink("missing", (pub + "/dangling").c_str()));
  ASSERT_EQ(0, ::symlink((dir.File("outside/shared.txt")).c_str(), (pub + "/out.txt").c_str()));
  ASSERT_EQ(0, ::symlink((dir.File("outside/folder")).c_str(), (pub + "/outdir").c_str()));
  ASSERT_EQ(0, ::symlink("vtWebServer.ini", (pub + "/settings-link").c_str()));
  ASSERT_EQ(0, ::mkfifo((pub + "/pipe").c_str(), 0600));

  TMapRules hidden_off;
  hidden_off.NeverServed = {pub + "/vtWebServer.ini"};
  TMapRules hidden_on = hidden_off;
  hidden_on.ServeHidden = true;
  const struct {
    const char* why;
    std::string folder;
    const TMapRules& rules;
    std::vector<std::string> names;
  } cases[] = {
      {"hidden names, links to them, the settings file, dangling links and a pipe are left out",
       pub + "/",
       hidden_off,
       {"outdir/", "sub/", "subalias/", "a.txt", "alias.txt", "out.txt"}},
      {"with hidden files served, the hidden names and links to them are listed",
       pub + "/",
       hidden_on,
       {".git/", "gitdir/", "outdir/", "sub/", "subalias/", ".env", "a.txt", "alias.txt", "envlink.txt",
        "out.txt"}},
      {"a deep folder", pub + "/sub/", hidden_off, {"inner.txt"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.names, ReadNames(c.folder, pub, c.rules)) << c.why;
}

TEST(FolderListingEntries, ALinkIsListedAsWhatItLeadsTo) {
  test::TempDir dir;
  dir.WriteFile("big.bin", std::string(5000, 'b'));
  ASSERT_EQ(0, ::symlink("big.bin", dir.File("link.bin").c_str()));
  TFolderListing listing;
  const int handle = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  listing.ReadFolder(handle, dir.Path() + "/", dir.Path(), TMapRules(), {});
  ::close(handle);
  ASSERT_EQ(2u, listing.Entries().size());
  for (const TListingEntry& entry : listing.Entries()) {
    EXPECT_EQ(5000, entry.size) << entry.name;
    EXPECT_FALSE(entry.folder) << entry.name;
  }
  EXPECT_EQ(2u, listing.Totals().files);
}

TEST(FolderListingEntries, EntriesPastTheBoundAreCountedNotListed) {
  TFolderListing listing;
  const std::string name(200, 'x');
  for (std::size_t i = 0; i < TFolderListing::kMaxListedEntries + 3; ++i) listing.Add(File(name, 1));
  EXPECT_EQ(TFolderListing::kMaxListedNameBytes / 200, listing.Entries().size());
  EXPECT_EQ(TFolderListing::kMaxListedEntries + 3 - listing.Entries().size(), listing.Totals().left_out);
  TFolderListing short_names;
  for (std::size_t i = 0; i < TFolderListing::kMaxListedEntries + 3; ++i) short_names.Add(File("y", 1));
  EXPECT_EQ(TFolderListing::kMaxListedEntries, short_names.Entries().size());
  EXPECT_EQ(3u, short_names.Totals().left_out);
  std::string foot;
  AppendListingFoot(foot, TListingPage{"/", {}, {}}, short_names.Totals());
  EXPECT_NE(std::string::npos, foot.find("3 more entries are not listed")) << foot;
}

// ---- The page ---------------------------------------------------------------------

TEST(FolderListingPages, RootDeepAndEmptyFoldersHaveTheirWayBack) {
  test::ScopedTimeZone zone("UTC0");
  const struct {
    const char* why;
    std::string path;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"the root has no way up",
       "/",
       {"<title>Index of /</title>", "<a href=\"/\">Home</a></nav>", "0 folders, 0 files"},
       {"rel=\"up\""}},
      {"a deep folder links each folder on the way and the one above",
       "/a b/c&d/e/",
       {"<a href=\"/\">Home</a> / <a href=\"/a%20b/\">a b</a> / <a href=\"/a%20b/c%26d/\">c&amp;d</a> / "
        "<a href=\"/a%20b/c%26d/e/\" aria-current=\"page\">e</a>",
        "<a href=\"/a%20b/c%26d/\" rel=\"up\">", "<title>Index of /a b/c&amp;d/e/</title>"},
       {}},
      {"a folder with markup in its name",
       "/<b>/",
       {"<a href=\"/%3Cb%3E/\" aria-current=\"page\">&lt;b&gt;</a>", "<a href=\"/\" rel=\"up\">"},
       {"<b>"}},
  };
  for (const auto& c : cases) {
    const std::string page = ReadPage(std::make_unique<TFolderListing>(), c.path, {});
    for (const auto& text : c.present) EXPECT_NE(std::string::npos, page.find(text)) << c.why << ": " << text;
    for (const auto& text : c.absent) EXPECT_EQ(std::string::npos, page.find(text)) << c.why << ": " << text;
    for (const char* always :
         {"<meta name=\"viewport\"", "prefers-color-scheme:dark", "href=\"?download=zip\"",
          "href=\"?download=tar\"", "href=\"?sort=size&amp;order=asc\"", "href=\"?sort=name&amp;order=desc\"",
          "</html>\n"})
      EXPECT_NE(std::string::npos, page.find(always)) << c.why << ": " << always;
  }
}

TEST(FolderListingPages, RowsTellSizeTimeAndKind) {
  test::ScopedTimeZone zone("UTC0");
  const struct {
    TListingEntry entry;
    std::vector<std::string> present;
  } cases[] = {
      {File("photo.JPG", 2500000, 1700000000),
       {"class=\"i\"", ">2.5 MB<", "datetime=\"2023-11-14T22:13:20Z\">2023-11-14 22:13<"}},
      {Folder("docs", 0), {"class=\"d\"", "href=\"/x/docs/\">docs/</a>", "\xE2\x80\x94"}},
      {File("README", 12), {"class=\"f\"", ">12 B<"}},
      {File("song.flac", 1), {"class=\"a\""}},
  };
  for (const auto& c : cases) {
    const std::string row = Row("/x/", c.entry);
    for (const auto& text : c.present) EXPECT_NE(std::string::npos, row.find(text)) << row << "\n" << text;
  }
}

TEST(FolderListingPages, TheReaderMakesTheSamePageWhateverTheReads) {
  auto make = [] {
    auto listing = std::make_unique<TFolderListing>();
    for (int i = 0; i < 5000; ++i) listing->Add(File("file-" + std::to_string(i) + ".txt", i, i));
    return listing;
  };
  // A read fills what it is given until the page ends: a short one would
  // tell the writer to send what it has gathered.
  std::size_t short_reads = 0;
  const std::string whole = ReadPage(make(), "/", {}, 64 * 1024, &short_reads);
  EXPECT_GT(whole.size(), 4 * TFolderListingReader::kPieceBytes);
  EXPECT_EQ(1u, short_reads);
  EXPECT_EQ(whole, ReadPage(make(), "/", {}, 7));
  EXPECT_EQ(5000, [&] {
    int rows = 0;
    for (std::size_t at = 0; (at = whole.find("<tr><td", at)) != std::string::npos; ++at) ++rows;
    return rows;
  }());
}

TEST(FolderListingPages, TheJSONReadsBack) {
  const std::string odd_name = "caf\xE9 & \"x\"";
  auto listing = std::make_unique<TFolderListing>();
  listing->Add(Folder("sub", 1600000000));
  listing->Add(File("a b.txt", 42, 1700000000));
  listing->Add(File(odd_name, 0, 0));
  TListingRequest request;
  request.json = true;
  const std::string text = ReadPage(std::move(listing), "/d\xC3\xA9/", request, 100);
  const std::optional<TJSON> document = TJSONParser(text).Document();
  ASSERT_TRUE(document) << text;
  EXPECT_EQ("/d\xC3\xA9/", document->members.at("path").text);
  EXPECT_EQ(0, document->members.at("left_out").number);
  const auto& entries = document->members.at("entries").items;
  ASSERT_EQ(3u, entries.size()) << text;
  const struct {
    const char* name;
    const char* type;
    std::optional<double> size;
    const char* modified;
    const char* url;
  } expected[] = {
      {"sub", "folder", std::nullopt, "2020-09-13T12:26:40Z", "/d%C3%A9/sub/"},
      {"a b.txt", "file", 42, "2023-11-14T22:13:20Z", "/d%C3%A9/a%20b.txt"},
      {"caf\xEF\xBF\xBD & \"x\"", "file", 0, "1970-01-01T00:00:00Z", "/d%C3%A9/caf%E9%20%26%20%22x%22"},
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& members = entries[i].members;
    EXPECT_EQ(expected[i].name, members.at("name").text);
    EXPECT_EQ(expected[i].type, members.at("type").text);
    if (expected[i].size) {
      EXPECT_EQ(*expected[i].size, members.at("size").number);
    } else {
      EXPECT_EQ(TJSON::kNull, members.at("size").kind);
    }
    EXPECT_EQ(expected[i].modified, members.at("modified").text);
    EXPECT_EQ(expected[i].url, members.at("url").text);
  }
  // An empty folder is a valid document too.
  const std::string empty = ReadPage(std::make_unique<TFolderListing>(), "/", request);
  const auto empty_document = TJSONParser(empty).Document();
  ASSERT_TRUE(empty_document) << empty;
  EXPECT_TRUE(empty_document->members.at("entries").items.empty());
}

// ---- The validator --------------------------------------------------------------

TEST(FolderListingValidator, ChangesWithTheEntriesAndTheRepresentation) {
  test::TempDir dir;
  dir.WriteFile("a.txt", "one");
  const auto tag = [&](TListingRequest request = {}) {
    const int handle = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat folder {};
    ::fstat(handle, &folder);
    TFolderListing listing;
    listing.ReadFolder(handle, dir.Path() + "/", dir.Path(), TMapRules(), request.order);
    ::close(handle);
    return listing.EntityTag(folder, request);
  };
  const std::string first = tag();
  EXPECT_EQ('"', first.front());
  EXPECT_EQ('"', first.back());
  EXPECT_EQ(first, tag()) << "an unchanged folder keeps its tag";
  TListingRequest json;
  json.json = true;
  EXPECT_NE(first, tag(json)) << "JSON is another representation";
  TListingRequest by_size;
  by_size.order.sort = TListingSort::kSize;
  EXPECT_NE(first, tag(by_size)) << "another order is another page";
  // Written in place: the folder's change time stays, the file's size not.
  dir.WriteFile("a.txt", "one more");
  const std::string written = tag();
  EXPECT_NE(first, written) << "a file written in place";
  dir.WriteFile("b.txt", "");
  EXPECT_NE(written, tag()) << "a new file";
}

}  // namespace
}  // namespace vt
