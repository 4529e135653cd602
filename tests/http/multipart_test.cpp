#include "http/multipart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt {
namespace {

// Writes what the parser tells as text: "[name|filename]" for a part with a
// file name, "[name]" for one without, the data, then "." at its end.
class TRecordingSink : public IMultipartSink {
 public:
  std::string events;
  void BeginPart(const TMultipartPart& part) override {
    events += "[" + part.name + (part.has_filename ? "|" + part.filename : "") + "]";
  }
  void PartData(std::string_view data) override {
    EXPECT_FALSE(data.empty());
    events.append(data);
  }
  void EndPart() override { events += "."; }
};

// The events for `body` fed in pieces of `piece` bytes, then Finish; the
// refusal's text after "!" when the parser refused it.
std::string Parse(const std::string& boundary, const std::string& body, std::size_t piece) {
  TRecordingSink sink;
  TMultipartParser parser(boundary, sink);
  try {
    for (std::size_t at = 0; at < body.size(); at += piece) parser.Feed(body.substr(at, piece));
    parser.Finish();
  } catch (const EMultipart& error) {
    return sink.events + "!" + error.Message();
  }
  return sink.events;
}

std::string Part(const std::string& disposition, const std::string& data) {
  return "--b\r\nContent-Disposition: " + disposition + "\r\n\r\n" + data + "\r\n";
}

// Every body gives the same events however it is cut into pieces: the
// parser decides nothing from where one Feed ends. (A refused body is
// compared by its refusal: how much of its last part was handed on before
// depends on the pieces, and the receiver drops it all anyway.)
TEST(MultipartParser, ReadsBodiesAndRefusesBrokenOnesWhereverTheyAreCut) {
  struct Row {
    const char* what;
    std::string body;
    std::string events;
  };
  const std::string file = "form-data; name=\"f\"; filename=\"a.txt\"";
  const std::string big(3000, 'x');
  const Row rows[] = {
      {"one file", Part(file, "hello") + "--b--\r\n", "[f|a.txt]hello."},
      {"a field and a file", Part("form-data; name=\"t\"", "v") + Part(file, "z") + "--b--",
       "[t]v.[f|a.txt]z."},
      {"zero bytes", Part(file, "") + "--b--\r\n", "[f|a.txt]."},
      {"data that nearly holds the delimiter", Part(file, "a\r\n--c\r\n-b\r--") + "--b--",
       "[f|a.txt]a\r\n--c\r\n-b\r--."},
      {"data of many pieces", Part(file, big) + "--b--", "[f|a.txt]" + big + "."},
      {"preamble and epilogue ignored", "junk\r\n" + Part(file, "1") + "--b--\r\nmore --b\r\n",
       "[f|a.txt]1."},
      {"blanks after a delimiter", "--b \t\r\nContent-Disposition: " + file + "\r\n\r\n1\r\n--b--",
       "[f|a.txt]1."},
      {"a part without head", "--b\r\n\r\nq\r\n--b--", "[]q."},
      {"no closing delimiter", Part(file, "half"),
       "[f|a.txt]half!The body ended before its closing boundary"},
      {"cut inside the data", "--b\r\nContent-Disposition: " + file + "\r\n\r\nha",
       "[f|a.txt]!The body ended before its closing boundary"},
      {"empty body", "", "!The body ended before its closing boundary"},
      {"no delimiter at all", "just text", "!The body ended before its closing boundary"},
      {"text after a delimiter", "--bx\r\n\r\n--b--", "!A boundary is followed by other text"},
      {"nested multipart",
       "--b\r\nContent-Disposition: " + file + "\r\nContent-Type: Multipart/mixed; boundary=c\r\n\r\n--b--",
       "!A nested multipart body"},
      {"folded header line", "--b\r\nContent-Disposition: form-data;\r\n name=\"x\"\r\n\r\n--b--",
       "!A part's header line continues another"},
      {"header line without colon", "--b\r\nnonsense\r\n\r\n--b--", "!A part's header line has no colon"},
      {"bare LF in a head", "--b\r\nX: a\nb\r\n\r\n--b--", "!A bare line end in a part's head"},
      {"unterminated quote", "--b\r\nContent-Disposition: form-data; name=\"x\r\n\r\n--b--",
       "!A part's Content-Disposition cannot be read"},
      {"a head too long", "--b\r\nX: " + std::string(TMultipartParser::kMaxPartHead, 'h') + "\r\n\r\n--b--",
       "!A part's head is too long"},
      {"too many header lines",
       "--b\r\n" +
           [] {
             std::string lines;
             for (int i = 0; i <= TMultipartParser::kMaxPartFields; ++i) lines += "X: 1\r\n";
             return lines;
           }() +
           "\r\n--b--",
       "!A part has too many header lines"},
      {"too much padding", "--b" + std::string(TMultipartParser::kMaxPadding + 1, ' ') + "\r\n\r\n--b--",
       "!Too many blanks after a boundary"},
  };
  for (const Row& row : rows) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 20}) {
      const std::string events = Parse("b", row.body, piece);
      const std::size_t refusal = row.events.find('!');
      if (refusal == std::string::npos) {
        EXPECT_EQ(events, row.events) << row.what << ", pieces of " << piece;
      } else {
        EXPECT_EQ(events.substr(events.find('!')), row.events.substr(refusal))
            << row.what << ", pieces of " << piece;
      }
    }
  }
}

TEST(MultipartParser, RefusesMorePartsThanItsBound) {
  std::string body;
  for (int i = 0; i <= TMultipartParser::kMaxParts; ++i) body += "--b\r\n\r\n\r\n";
  body += "--b--";
  const std::string events = Parse("b", body, body.size());
  EXPECT_NE(events.find("!Too many parts"), std::string::npos);
}

// Memory stays bounded: a part of many megabytes fed in large pieces keeps
// nothing of it once handed on.
TEST(MultipartParser, HandsOnDataWithoutKeepingIt) {
  struct TCounting : IMultipartSink {
    std::size_t bytes = 0;
    void BeginPart(const TMultipartPart&) override {}
    void PartData(std::string_view data) override { bytes += data.size(); }
    void EndPart() override {}
  } sink;
  TMultipartParser parser("----WebKitFormBoundary7MA4YWxkTrZu0gW", sink);
  parser.Feed(
      "------WebKitFormBoundary7MA4YWxkTrZu0gW\r\nContent-Disposition: form-data; name=f; "
      "filename=x\r\n\r\n");
  const std::string block(256 * 1024, '\r');
  for (int i = 0; i < 40; ++i) parser.Feed(block);
  parser.Feed("\r\n------WebKitFormBoundary7MA4YWxkTrZu0gW--\r\n");
  parser.Finish();
  EXPECT_TRUE(parser.Closed());
  EXPECT_EQ(sink.bytes, 40u * block.size());
}

TEST(MultipartBoundary, TakesTheRulesOfMultipartBodies) {
  struct Row {
    const char* content_type;
    const char* boundary;  // nullptr: refused
  };
  const Row rows[] = {
      {"multipart/form-data; boundary=----WebKitFormBoundaryabc", "----WebKitFormBoundaryabc"},
      {"Multipart/Form-Data;boundary=\"a b:c\"", "a b:c"},
      {"multipart/form-data; charset=utf-8; boundary=xyz", "xyz"},
      {"multipart/form-data; boundary=\"quoted\" ; x=1", "quoted"},
      {"multipart/form-data", nullptr},
      {"multipart/form-data; boundary=", nullptr},
      {"multipart/form-data; boundary=\"ends in blank \"", nullptr},
      {"multipart/form-data; boundary=has\"quote", nullptr},
      {"multipart/form-data; boundary=a; boundary=b", nullptr},
      {"multipart/mixed; boundary=x", nullptr},
      {"text/plain; boundary=x", nullptr},
  };
  for (const Row& row : rows) {
    const auto boundary = ParseMultipartBoundary(row.content_type);
    if (!row.boundary) {
      EXPECT_FALSE(boundary) << row.content_type;
    } else {
      EXPECT_EQ(boundary.value_or("(none)"), row.boundary) << row.content_type;
    }
  }
  EXPECT_TRUE(ParseMultipartBoundary("multipart/form-data; boundary=" + std::string(70, 'a')));
  EXPECT_FALSE(ParseMultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'a')));
}

TEST(ContentDisposition, ReadsNamesAsClientsSendThem) {
  struct Row {
    const char* value;
    bool readable;
    bool has_filename;
    const char* filename;
  };
  const Row rows[] = {
      {"form-data; name=\"f\"; filename=\"photo.jpg\"", true, true, "photo.jpg"},
      {"form-data; name=f; filename=plain.txt", true, true, "plain.txt"},
      {"form-data; name=\"f\"; filename=\"\"", true, true, ""},
      {"form-data; name=\"field\"", true, false, ""},
      {"form-data; filename=\"C:\\Users\\ann\\cv.pdf\"", true, true, "cv.pdf"},
      {"form-data; filename=\"../../etc/passwd\"", true, true, "passwd"},
      {"form-data; filename=\"say \\\"hi\\\".txt\"", true, true, "say \"hi\".txt"},
      {"form-data; filename=\"a%22b.txt\"", true, true, "a%22b.txt"},
      {"form-data; filename=\"fallback.txt\"; filename*=UTF-8''%E2%82%AC%20rates.txt", true, true,
       "\xE2\x82\xAC rates.txt"},
      {"form-data; filename*=iso-8859-1'en'caf%E9.txt", true, true, "caf\xC3\xA9.txt"},
      {"form-data; filename=\"kept.txt\"; filename*=UTF-8''bad%G1", true, true, "kept.txt"},
      {"form-data; filename*=koi8-r''x", true, true, ""},
      {"attachment; filename=\"x\"", false, false, ""},
      {"form-data; filename=\"open", false, false, ""},
      {"form-data; novalue", false, false, ""},
  };
  for (const Row& row : rows) {
    TMultipartPart part;
    EXPECT_EQ(ParseContentDisposition(row.value, part), row.readable) << row.value;
    if (!row.readable) continue;
    EXPECT_EQ(part.has_filename, row.has_filename) << row.value;
    EXPECT_EQ(part.filename, row.filename) << row.value;
  }
}

}  // namespace
}  // namespace vt
