#include "http/message.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/content_readers.h"
#include "http/protocol.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"
#include "support/test_reader.h"

namespace vt {
namespace {

using test::TTestReader;

const std::string kDate = "Date: Sun, 01 Jan 1995 12:00:00 GMT\r\n";

// Prepares the response as the server does, pins its Date field to a known
// time, and returns the exact bytes of header and body.
std::string Send(ThttpResponse& response) {
  response.Prepare();
  if (auto* date = dynamic_cast<TDateField*>(response.GetHeader().GetField("Date")))
    date->SetDateTime(34700.5);
  TStringWriter out;
  response.WriteHeader(out);
  response.WriteContent(out);
  return out.Text();
}

std::unique_ptr<ThttpResponse> FileResponse(const std::string& path) {
  auto response = std::make_unique<ThttpResponse>(200, "HTTP", 1, 1, "", nullptr, "");
  response->SetContentType("text/plain");
  response->SetContentReader(std::make_unique<TFileReader>(path));
  return response;
}

std::string Digits(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += static_cast<char>('0' + i % 10);
  return text;
}

// ---------------------------------------------------------------------------
// Requests

TEST(Request, ParsesHeaderTextAndRecomposesTheStartLine) {
  ThttpRequest request;
  request.SetHeaderText("get /a%20b?x=1+2 http/1.0\r\nHost: h\r\nX-Long: one\r\n two\r\n\r\n");
  EXPECT_EQ("GET", request.Method);
  EXPECT_EQ("/a b", request.URI);
  EXPECT_EQ("x=1+2", request.Query);
  EXPECT_EQ("/a b?x=1+2", request.GetPathAndQuery());
  EXPECT_EQ("HTTP/1.0", request.GetVersionText());
  EXPECT_TRUE(request.IsHTTP10OrEarlier());
  EXPECT_EQ("one two", request.GetHeader().GetFieldValue("X-Long"));
  // The line is kept as it came until a field changes.
  EXPECT_EQ("get /a%20b?x=1+2 http/1.0", request.GetStartLine());
  request.SetMinorVersion(1);
  EXPECT_EQ("GET /a b?x=1+2 HTTP/1.1", request.GetStartLine());

  // A line without version is not HTTP/1.1, so it needs no Host.
  ThttpRequest old("get /x", "", nullptr);
  EXPECT_EQ("", old.Protocol());
  EXPECT_FALSE(old.IsHTTP11OrLater());
  EXPECT_TRUE(old.IsHTTP10OrEarlier());
  old.Prepare();
  EXPECT_EQ("get /x\r\nDate: ", old.GetHeaderText().substr(0, 14));
}

TEST(Request, AbsoluteURIsNameTheHost) {
  ThttpRequest proxied;
  proxied.SetStartLine("GET http://example.org:8080/p?q HTTP/1.1");
  EXPECT_EQ("example.org", proxied.GetHeader().GetFieldValue("Host"));
  EXPECT_EQ("8080", proxied.Port);
  EXPECT_EQ("/p", proxied.URI);  // served from its path
  EXPECT_EQ("q", proxied.Query);

  // A header given afterwards replaces the block; the URI's host remains the
  // fallback of GetHost.
  proxied.SetHeader(nullptr);
  EXPECT_EQ("example.org:8080", proxied.GetHost());
  // The target's host wins over a Host field the client sent beside it.
  auto sent = std::make_unique<THeader>();
  sent->SetFieldValue("Host", "elsewhere.example");
  proxied.SetHeader(std::move(sent));
  EXPECT_EQ("example.org:8080", proxied.GetHost());

  // "//x/y" is a path, not a host.
  ThttpRequest path;
  path.SetStartLine("GET //evil/y HTTP/1.1");
  EXPECT_EQ(nullptr, path.Header());

  ThttpRequest request;
  request.URI = "/p";
  request.ProxyRequest = true;
  request.ConnectionMode = 1;
  request.SetHost("h:81");
  request.Prepare();
  EXPECT_EQ("GET http://h:81/p HTTP/1.1", request.GetStartLine());
  EXPECT_EQ("keep-alive", request.GetHeader().GetFieldValue("Proxy-Connection"));

  ThttpRequest noHost;
  EXPECT_VT_ERROR(noHost.Prepare(), EhttpRequest, "Host must be set for HTTP/1.1 request.");
}

// What a request shows after Reuse, to compare with a request just made.
std::string RequestState(ThttpRequest& r) {
  std::string s = r.GetStartLine() + "|" + r.Method + "|" + r.URI + "|" + r.Query + "|" + r.TargetHost + "|" +
                  r.Port + "|" + std::to_string(r.ConnectionMode) + std::to_string(r.ProxyRequest) + "|" +
                  r.Protocol() + std::to_string(r.MajorVersion()) + std::to_string(r.MinorVersion()) + "|" +
                  std::to_string(r.Header() != nullptr) + std::to_string(r.CustomLines() != nullptr) +
                  std::to_string(r.ContentIsText()) + std::to_string(r.HasContent) +
                  std::to_string(r.AddDateField) + std::to_string(r.ContentReader() != nullptr) +
                  std::to_string(r.OwnsContentReader()) +
                  std::to_string(static_cast<bool>(r.OnBeforePrepare)) +
                  std::to_string(static_cast<bool>(r.OnAfterPrepare)) +
                  std::to_string(static_cast<bool>(r.OnHeaderWritten)) +
                  std::to_string(static_cast<bool>(r.OnContentWritten)) + "|" + r.GetHost();
  return s + "|" + r.GetContentText();
}

TEST(Request, ReuseLeavesNothingOfTheRequestBefore) {
  const struct {
    const char* name;
    std::function<void(ThttpRequest&)> before;
  } cases[] = {
      {"absolute target with port",
       [](ThttpRequest& r) { r.SetStartLine("GET http://a.example:81/p?q HTTP/1.1"); }},
      {"header, body text, custom lines",
       [](ThttpRequest& r) {
         r.GetHeader().SetFieldValue("Authorization", "Basic dTpw");
         r.SetContentText("body");
         r.GetCustomLines().push_back("X: y");
       }},
      {"owned body reader",
       [](ThttpRequest& r) { r.SetContentReader(std::make_unique<TStringReader>("abc")); }},
      {"fields set by hand",
       [](ThttpRequest& r) {
         r.ProxyRequest = true;
         r.ConnectionMode = 2;
         r.AddDateField = false;
         r.HasContent = false;
         r.SetProtocol("XTP");
         r.SetMajorVersion(2);
       }},
      {"events",
       [](ThttpRequest& r) {
         r.OnBeforePrepare = r.OnAfterPrepare = r.OnHeaderWritten = r.OnContentWritten = [](AhttpMessage*) {};
       }},
  };
  const char* lines[] = {"GET /x HTTP/1.1", "HEAD /y?z HTTP/1.0", "GET /", "GET http://b.example/w HTTP/1.1"};
  for (const auto& c : cases) {
    for (const char* line : lines) {
      SCOPED_TRACE(std::string(c.name) + " then " + line);
      ThttpRequest reused("POST /old?k=v HTTP/1.1", std::string(), nullptr);
      c.before(reused);
      reused.Reuse(line);
      ThttpRequest fresh(line, std::string(), nullptr);
      EXPECT_EQ(RequestState(fresh), RequestState(reused));
    }
  }
}

TEST(Request, CredentialsAndRanges) {
  ThttpRequest request("GET / HTTP/1.1", "", nullptr);
  int64_t start = 0, end = 0;
  EXPECT_FALSE(request.GetRange(start, end));
  EXPECT_EQ(-1, start);
  request.SetHeaderText("GET / HTTP/1.1\r\nAuthorization: BASIC dXNlcjpwYXNz\r\nRange:  bytes=5-9 \r\n");
  EXPECT_EQ("user:pass", request.GetBasicCredentials());
  EXPECT_TRUE(request.GetRange(start, end));
  EXPECT_EQ(5, start);
  EXPECT_EQ(9, end);
  request.GetHeader().SetFieldValue("Authorization", "Digest x");
  EXPECT_EQ("", request.GetBasicCredentials());
}

// ---------------------------------------------------------------------------
// Reading bodies

// A request whose header has been read from `data`, the reader left at the
// body.
struct Received {
  explicit Received(const std::string& data, int32_t perRead = 0) : reader(data, perRead) {
    request.SetStartLine(reader.ReadLine(4096, false));
    request.SetHeader(std::make_unique<THeader>(reader, true, -1));
  }
  TTestReader reader;
  ThttpRequest request;
};

TEST(ReadContent, SizedBodiesLeaveTheNextRequest) {
  const std::string next = "GET /next HTTP/1.1\r\n";
  const std::string data = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789" + next;
  for (int32_t perRead : {0, 1}) {
    Received text(data, perRead);
    text.request.ReadContent(text.reader, false, false);
    EXPECT_EQ("0123456789", text.request.GetContentText());
    EXPECT_EQ(next, text.reader.ReadText(100));
  }
  Received streamed(data);
  streamed.request.ReadContent(streamed.reader, true, false);
  EXPECT_FALSE(streamed.request.ContentIsText());
  EXPECT_EQ(10, streamed.request.GetContentSize());
  TStringWriter out;
  EXPECT_EQ(10, streamed.request.WriteContent(out));
  EXPECT_EQ("0123456789", out.Text());
  EXPECT_EQ(next, streamed.reader.ReadText(100));

  // A body cut short is an error, not a shorter body.
  Received cut("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123");
  EXPECT_VT_ERROR(cut.request.ReadContent(cut.reader, false, false), EReader, "Read error");
}

TEST(ReadContent, ChunkedBodies) {
  // No Content-Type needed; the coding's name in any case.
  const std::string data =
      "POST / HTTP/1.1\r\nTransfer-Encoding:  Chunked \r\n\r\n"
      "5;name=x\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT";
  Received text(data, 1);
  text.request.ReadContent(text.reader, false, false);
  EXPECT_EQ("hello", text.request.GetContentText());
  EXPECT_EQ("NEXT", text.reader.ReadText(100));

  Received raw(data);
  raw.request.ReadContent(raw.reader, true, true);
  auto* reader = dynamic_cast<ThttpChunkedContentReader*>(raw.request.ContentReader());
  ASSERT_NE(nullptr, reader);
  EXPECT_TRUE(reader->RawMode());
  EXPECT_EQ("5;name=x\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\n", raw.request.GetContentText());
}

TEST(ReadContent, RefusesFramingItCannotTrust) {
  struct Case {
    std::string fields;
    int32_t status;
    std::string error;
  };
  const Case cases[] = {
      {"Content-Length: -5\r\n", 400, "Invalid Content-Length"},
      {"Content-Length: 12abc\r\n", 400, "Invalid Content-Length"},
      {"Content-Length: +5\r\n", 400, "Invalid Content-Length"},
      {"Content-Length: 99999999999999999999\r\n", 400, "Invalid Content-Length"},
      {"Content-Length: 5\r\nContent-Length: 6\r\n", 400, "Invalid Content-Length"},
      {"Transfer-Encoding: gzip\r\n", 501, "Unsupported Transfer-Encoding"},
      {"Transfer-Encoding: identity\r\n", 501, "Unsupported Transfer-Encoding"},
      {"Transfer-Encoding: gzip, chunked\r\n", 501, "Unsupported Transfer-Encoding"},
      // One framing only: whatever reads these bytes in front of the server
      // may choose the other.
      {"Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", 400,
       "Both Content-Length and Transfer-Encoding"},
      {"Content-Length: 3\r\nTransfer-Encoding: gzip\r\n", 400, "Both Content-Length and Transfer-Encoding"},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", 400,
       "More than one Transfer-Encoding field"},
      {"Transfer-Encoding: chunked, chunked\r\n", 400, "Invalid Transfer-Encoding"},
      {"Transfer-Encoding: chunked;x=1\r\n", 400, "Invalid Transfer-Encoding"},
      {"Transfer-Encoding:\r\n", 400, "Invalid Transfer-Encoding"},
      // Broken chunks are the sender's fault too.
      {"Transfer-Encoding: chunked\r\n\r\nz", 400, "Invalid chunk size"},
      {"Content-Length: 101\r\n", 413, "Content too large"},
      {"Transfer-Encoding: chunked\r\n", 413, "Content too large"},
  };
  for (const Case& c : cases) {
    Received received("POST / HTTP/1.1\r\n" + c.fields + "\r\n65\r\n" + std::string(101, 'x') +
                      "\r\n0\r\n\r\n");
    try {
      received.request.ReadContent(received.reader, false, false, 100);
      ADD_FAILURE() << c.fields;
    } catch (const EhttpContent& e) {
      EXPECT_EQ(c.status, e.StatusCode()) << c.fields;
      EXPECT_EQ(c.error, e.Message()) << c.fields;
    }
  }
  // Agreeing duplicates and a body at the limit are fine.
  Received fine("POST / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nabc");
  fine.request.ReadContent(fine.reader, false, false, 3);
  EXPECT_EQ("abc", fine.request.GetContentText());
}

TEST(ReadContent, OnlyResponsesRunToTheEndOfTheData) {
  // A request without length or coding has no body (RFC 7230, 3.3.3): its
  // next bytes belong to the next request.
  Received request("POST / HTTP/1.1\r\nContent-Type: text/plain\r\n\r\nGET / HTTP/1.1\r\n");
  request.request.ReadContent(request.reader, false, false);
  EXPECT_FALSE(request.request.ContentIsText());
  EXPECT_EQ("GET / HTTP/1.1\r\n", request.reader.ReadText(100));

  TStringReader reader("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it");
  ThttpResponse response;
  response.SetStartLine(reader.ReadLine(4096, false));
  response.SetHeader(std::make_unique<THeader>(reader, true, -1));
  response.ReadContent(reader, false, false);
  EXPECT_EQ("all of it", response.GetContentText());
  EXPECT_EQ(200, response.StatusCode);
  EXPECT_EQ("OK", response.ReasonPhrase);
}

// ---------------------------------------------------------------------------
// Response headers and bodies

TEST(Response, HeaderGenerationByStatus) {
  ThttpResponse ok(200, "HTTP", 1, 1, "hello", nullptr, "");
  ok.GetCustomLines() = SplitTextLines("X-A: 1\n\nno colon\r\nX-A: 2\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kDate + "X-A: 1\r\nno colon\r\nX-A: 2\r\nContent-Length: 5\r\n\r\nhello",
            Send(ok));

  // An empty body still says so, so that a kept-alive client knows.
  ThttpResponse empty(200, "HTTP", 1, 0, "", nullptr, "Fine");
  empty.GetCustomLines() = {"Content-Length: 99", "Content-Length: 98"};
  EXPECT_EQ("HTTP/1.0 200 Fine\r\n" + kDate + "Content-Length: 0\r\n\r\n", Send(empty));

  for (int32_t code : {204, 304}) {
    ThttpResponse none(code, "HTTP", 1, 1, "body", nullptr, "");
    none.GetHeader().AddField("Content-Length", "4");
    none.GetHeader().AddField("Transfer-Encoding", "chunked");
    const std::string line = code == 204 ? "HTTP/1.1 204 No Content\r\n" : "HTTP/1.1 304 Not modified\r\n";
    EXPECT_EQ(line + kDate + "\r\n", Send(none));
    TStringWriter out;
    EXPECT_EQ(-1, none.WriteContent(out));
  }

  ThttpResponse informational(100, "HTTP", 1, 1, "x", nullptr, "");
  EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", Send(informational));

  // A message without a header block ends with one empty line.
  ThttpResponse bare(200, "HTTP", 1, 1, "", nullptr, "");
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", bare.GetHeaderText());
}

TEST(Response, RangesOfAFile) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("f.txt", Digits(100));
  struct Case {
    int64_t start;
    int64_t end;
    std::string range;
    std::string body;
  };
  const Case cases[] = {
      {0, 9, "0-9", "0123456789"},
      {90, -1, "90-99", "0123456789"},
      {-1, 5, "95-99", "56789"},
      {95, 500, "95-99", "56789"},
  };
  for (const Case& c : cases) {
    auto response = FileResponse(path);
    response->SetRange(c.start, c.end);
    EXPECT_EQ("HTTP/1.1 206 Partial Content\r\nContent-Type: text/plain\r\n" + kDate +
                  "Content-Range: bytes " + c.range +
                  "/100\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body,
              Send(*response));
    EXPECT_EQ(static_cast<int64_t>(c.body.size()), response->GetContentLength());
  }

  // The same range of a text body.
  ThttpResponse text(200, "HTTP", 1, 1, Digits(20), nullptr, "OK");
  text.SetRange(-1, 3);
  EXPECT_EQ("HTTP/1.1 206 Partial Content\r\n" + kDate +
                "Content-Range: bytes 17-19/20\r\nContent-Length: 3\r\n\r\n789",
            Send(text));
}

TEST(Response, RangesThatSelectNothingAreNotSatisfiable) {
  test::TempDir dir;
  const std::string path = dir.WriteFile("f.txt", Digits(100));
  for (int64_t start : {100, 250}) {
    auto response = FileResponse(path);
    response->SetRange(start, -1);
    EXPECT_EQ("HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Type: text/plain\r\n" + kDate +
                  "Content-Range: bytes */100\r\nContent-Length: 0\r\n\r\n",
              Send(*response));
    EXPECT_TRUE(response->GetKeepAlive());
    EXPECT_FALSE(response->IsLengthUndetermined());
  }
  ThttpResponse empty(200, "HTTP", 1, 1, "", nullptr, "");
  empty.SetRange(0, 9);
  EXPECT_EQ("HTTP/1.1 416 Requested Range Not Satisfiable\r\n" + kDate +
                "Content-Range: bytes */0\r\nContent-Length: 0\r\n\r\n",
            Send(empty));

  // A body of unknown size cannot be cut: it goes whole, as a 200, in the
  // chunks that tell an HTTP/1.1 client where it ends.
  ThttpResponse unknown;
  auto reader = std::make_unique<TTestReader>("abc");
  reader->SizeUnknown = true;
  unknown.SetContentReader(std::move(reader));
  unknown.SetRange(0, 1);
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kDate + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
            Send(unknown));
}

TEST(Response, KeepAliveVersionAndServer) {
  struct Case {
    int32_t minor;
    std::string connection;
    bool keepAlive;
  };
  const Case cases[] = {
      {0, "", false}, {0, "Keep-Alive", true}, {1, "", true}, {1, " CLOSE ", false}, {1, "other", true},
  };
  for (const Case& c : cases) {
    ThttpResponse response(200, "HTTP", 1, c.minor, "", nullptr, "");
    if (!c.connection.empty()) response.GetHeader().AddField("Connection", c.connection);
    EXPECT_EQ(c.keepAlive, response.GetKeepAlive()) << c.minor << c.connection;
  }

  ThttpResponse response;
  response.MatchRequestVersion(ThttpRequest("GET / HTTP/1.0", "", nullptr));
  EXPECT_EQ("HTTP/1.0", response.GetVersionText());
  response.MatchRequestVersion(ThttpRequest("GET / HTTP/2.0", "", nullptr));
  EXPECT_EQ("HTTP/1.1", response.GetVersionText());
  response.MatchRequestVersion(ThttpRequest("GET / ICE/1.0", "", nullptr));
  EXPECT_EQ("HTTP/1.1", response.GetVersionText());

  response.GetHeader().AddField("Server", "old");
  response.GetHeader().AddField("X", "y");
  response.SetServerField("Veltrana/1.0");
  EXPECT_EQ("Server: Veltrana/1.0 ZO-RIVI/1.09", response.GetHeader().Fields(0)->GetAsString());
  response.SetServerField("");
  EXPECT_EQ("ZO-RIVI/1.09", response.GetHeader().GetFieldValue("Server"));
}

// The final header written straight is the text the fields would make:
// the same lines, the same places, the same spelling, whichever of the
// fields the answer already holds.
TEST(Response, FinalHeaderTextIsWhatTheLastFieldsWouldMake) {
  struct Case {
    const char* name;
    const char* server;
    std::function<void(ThttpResponse&)> setup;
  };
  // An answer from a file, as the program makes one.
  const auto file = [](const char* etag, std::optional<int64_t> modified, const char* ranges) {
    return [=](ThttpResponse& r) {
      r.GetHeader().SetFieldValue("Content-Type", "text/plain");
      r.ETag = etag;
      r.LastModified = modified;
      r.AddLastLine("Cache-Control: no-cache");
      r.AddLastLine(std::string("Accept-Ranges: ") + ranges);
    };
  };
  const Case cases[] = {
      {"none of them", "", [](ThttpResponse&) {}},
      {"a file answer", "App/1.0", file("\"1-2-3\"", 786240000, "bytes")},  // Sun, 01 Dec 1994 00:00:00 GMT
      // Each differs from the one before in one thing only.
      {"the same file a second later", "App/1.0", file("\"1-2-3\"", 786240001, "bytes")},
      {"another tag", "App/1.0", file("\"1-2-4\"", 786240001, "bytes")},
      {"another line", "App/1.0", file("\"1-2-4\"", 786240001, "none")},
      {"another server", "App/1.1", file("\"1-2-4\"", 786240001, "none")},
      {"no date", "App/1.1", file("\"1-2-4\"", std::nullopt, "none")},
      {"odd last lines", " Padded ",
       [](ThttpResponse& r) {
         r.LastLines = {"  X-A :  1 ", "", "no colon at all", ":empty name", "X-B:"};
       }},
      {"a Server field already", "App/1.0",
       [](ThttpResponse& r) {
         r.GetHeader().AddField("server", "Mine");
         r.GetHeader().AddField("X-After", "1");
         r.ETag = "\"e\"";
       }},
      {"validator fields already", "",
       [](ThttpResponse& r) {
         r.GetHeader().AddField("ETAG", "\"old\"");
         r.GetHeader().AddField("Last-Modified", "then");
         r.GetHeader().AddField("X-After", "1");
         r.ETag = "\"new\"";
         r.LastModified = 0;
         r.LastLines = {"Vary: *"};
       }},
      {"a Server field but no server text", "",
       [](ThttpResponse& r) {
         r.GetHeader().AddField("Server", "Mine");
         r.LastModified = 1;
       }},
      {"a Connection field already", "App/1.0",
       [](ThttpResponse& r) {
         r.GetHeader().AddField("connection", "Upgrade");
         r.GetHeader().AddField("X-After", "1");
       }},
  };
  // The Connection line as the server sets it last: none, keep-alive, close.
  for (const int connection : {-1, 1, 0}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", connection " + std::to_string(connection));
      ThttpResponse made(200, "HTTP", 1, 1, "body", nullptr, "OK");
      ThttpResponse written(200, "HTTP", 1, 1, "body", nullptr, "OK");
      for (ThttpResponse* r : {&made, &written}) {
        c.setup(*r);
        r->AddDateField = false;
        r->Prepare();
      }
      if (connection >= 0) {
        made.SetConnectionField(connection == 1);
        written.SetConnectionFieldForWriting(connection == 1);
      }
      EXPECT_EQ(made.GetKeepAlive(), written.GetKeepAlive());
      if (*c.server) made.SetServerField(c.server);
      made.AddLastFields();
      std::string text = "before|";
      written.AppendFinalHeaderText(text, c.server);
      EXPECT_EQ("before|" + made.GetHeaderText(), text);
      // A reused answer has no line left to write.
      written.Reuse(200, "OK");
      written.AddDateField = false;
      text.clear();
      written.AppendFinalHeaderText(text, "");
      EXPECT_EQ(std::string::npos, text.find("Connection")) << text;
    }
  }
}

// Content-Type, Date and Content-Length are held as values until the block
// is looked at. Whenever that happens, and whatever is done to the answer
// in between, the bytes written and the fields seen must be those the
// fields themselves make.
TEST(Response, HeldLinesAreTheFieldsTheyStandFor) {
  using Step = std::function<void(ThttpResponse&)>;
  const Step type = [](ThttpResponse& r) { r.SetContentType("text/plain"); };
  const Step prepare = [](ThttpResponse& r) { r.Prepare(); };
  const Step keep = [](ThttpResponse& r) { r.SetConnectionFieldForWriting(true); };
  const struct {
    const char* name;
    std::vector<Step> steps;
    const char* fields;  // the block's lines after the last step, without the Date's value
  } cases[] = {
      {"a file answer", {type, prepare, keep}, "Content-Type: text/plain|Date|Content-Length: 4|"},
      {"a field added after preparing",
       {type, prepare, [](ThttpResponse& r) { r.GetHeader().AddField("X-Late", "1"); }, keep},
       "Content-Type: text/plain|Date|Content-Length: 4|X-Late: 1|"},
      {"custom lines",
       {type, [](ThttpResponse& r) { r.GetCustomLines() = {"X-Custom: 1"}; }, prepare, keep},
       "Content-Type: text/plain|Date|X-Custom: 1|Content-Length: 4|"},
      {"a length field first",
       {[](ThttpResponse& r) { r.GetHeader().AddField("content-length", "99"); }, type, prepare, keep},
       "content-length: 4|Content-Type: text/plain|Date|"},
      {"the type set after preparing",
       {[](ThttpResponse& r) { r.GetHeader().AddField("X-First", "1"); }, prepare, type, keep},
       "X-First: 1|Date|Content-Length: 4|Content-Type: text/plain|"},
      {"the type set again after preparing",
       {type, prepare, [](ThttpResponse& r) { r.SetContentType("text/html"); }, keep},
       "Content-Type: text/html|Date|Content-Length: 4|"},
      {"prepared twice", {type, prepare, prepare, keep}, "Content-Type: text/plain|Date|Content-Length: 4|"},
      {"a 304 keeps no length",
       {type, [](ThttpResponse& r) { r.SetStatusCode(304); }, prepare, keep},
       "Content-Type: text/plain|Date|"},
      {"a range",
       {type, [](ThttpResponse& r) { r.SetRange(1, 2); }, prepare, keep},
       "Content-Type: text/plain|Date|Content-Range: bytes 1-2/4|Content-Length: 2|"},
      {"no date",
       {type, [](ThttpResponse& r) { r.AddDateField = false; }, prepare, keep},
       "Content-Type: text/plain|Content-Length: 4|"},
  };
  // The Date's value is the time of writing: left out of the comparison.
  const auto without_date = [](std::string text) {
    const std::size_t date = text.find("Date: ");
    if (date != std::string::npos) text.erase(date + 4, text.find("\r\n", date) - date - 4);
    return text;
  };
  const auto lines_of = [](const THeader* header) {
    std::string lines;
    for (int i = 0; header && i < header->Count(); ++i) {
      const std::string line = header->Fields(i)->GetAsString();
      lines += (line.rfind("Date:", 0) == 0 ? std::string("Date") : line) + "|";
    }
    return lines;
  };
  for (const auto& c : cases) {
    std::string expected;
    // Looked at after no step, or after one of them.
    for (std::size_t look = 0; look <= c.steps.size(); ++look) {
      SCOPED_TRACE(std::string(c.name) + ", looked at after step " + std::to_string(look));
      ThttpResponse r(200, "HTTP", 1, 1, "body", nullptr, "OK");
      for (std::size_t i = 0; i < c.steps.size(); ++i) {
        c.steps[i](r);
        if (i + 1 == look) r.Header();
      }
      EXPECT_EQ(r.StatusCode == 304, r.IsLengthUndetermined());
      EXPECT_EQ(r.StatusCode == 206 ? 2 : 4, r.GetContentLength());
      EXPECT_EQ(r.StatusCode != 304, r.HasContentLength());
      EXPECT_EQ("text/", r.GetContentType().substr(0, 5));
      std::string text;
      r.AppendFinalHeaderText(text, "App/1.0");
      text = without_date(text);
      if (look == 0) {
        expected = text;
      } else {
        EXPECT_EQ(expected, text);
      }
      // What the block holds, once looked at, is what was written.
      EXPECT_EQ(c.fields, lines_of(r.Header()));
    }
    std::string fields = c.fields;
    for (std::size_t bar; (bar = fields.find('|')) != std::string::npos;) fields.replace(bar, 1, "\r\n");
    EXPECT_EQ(expected.substr(0, expected.find("\r\n") + 2) + fields +
                  "Connection: keep-alive\r\nServer: App/1.0 " + std::string(kHTTPServerToken) + "\r\n\r\n",
              expected)
        << c.name;
  }
  // A block handed out, either way, shows each field as it is set.
  ThttpResponse looked_at(200, "HTTP", 1, 1, "body", nullptr, "OK");
  looked_at.SetContentType("text/plain");
  const THeader* held = looked_at.Header();
  looked_at.Prepare();
  EXPECT_EQ("Content-Type: text/plain|Date|Content-Length: 4|", lines_of(held));
  ThttpResponse given(200, "HTTP", 1, 1, "body", nullptr, "OK");
  auto block = std::make_unique<THeader>();
  const THeader* kept = block.get();
  given.SetHeader(std::move(block));
  given.SetContentType("text/plain");
  given.Prepare();
  EXPECT_EQ("Content-Type: text/plain|Date|Content-Length: 4|", lines_of(kept));
  // A copy holds them as fields; a reused answer holds none of them.
  ThttpResponse r(200, "HTTP", 1, 1, "body", nullptr, "OK");
  r.SetContentType("text/plain");
  r.Prepare();
  const std::unique_ptr<AhttpMessage> copy = r.Duplicate();
  EXPECT_EQ("Content-Type: text/plain|Date|Content-Length: 4|", lines_of(copy->Header()));
  r.Reuse(200, "OK");
  r.AddDateField = false;
  EXPECT_EQ("HTTP/1.1 200 OK\r\n\r\n", r.GetHeaderText());
  EXPECT_EQ(0, r.GetContentLength());
  EXPECT_FALSE(r.HasContentLength());
}

// Each thread keeps the parts of its last head (the status line, the held
// lines, the last lines) beside what they were made of. Answers in turn on
// one object, each differing from the one before in one thing, must each
// be written as their own fields write them.
TEST(Response, HeadsInTurnAreEachTheirOwn) {
  struct Answer {
    int32_t code;
    int32_t minor;
    const char* reason;
    const char* type;
    const char* body;
    bool date;
    int connection;  // -1 none, 0 close, 1 keep-alive
    const char* server;
    const char* etag;
    std::optional<int64_t> modified;
    std::vector<std::string> lines;
    const char* status;
  };
  const std::vector<std::string> file = {"Cache-Control: no-cache", "Accept-Ranges: bytes"};
  const Answer answers[] = {
      {200, 1, "", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 0, "", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.0 200 OK"},
      {304, 0, "", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.0 304 Not modified"},
      {304, 1, "Same", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 304 Same"},
      {404, 1, "", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 404 Not Found"},
      {200, 1, "Fine", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 Fine"},
      {200, 1, "OK", "text/plain", "bodies", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "text/html", "bodies", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "bodies", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "bodies", false, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, 0, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "App/1.1", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "\"2\"", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "", 7, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "", 8, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "", std::nullopt, file, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "", std::nullopt, {"Accept-Ranges: none"}, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "", "", true, -1, "", "", std::nullopt, {}, "HTTP/1.1 200 OK"},
      {200, 1, "OK", "text/plain", "body", true, 1, "App/1.0", "\"1\"", 7, file, "HTTP/1.1 200 OK"},
  };
  ThttpResponse r(200, "HTTP", 1, 1, "", nullptr, "OK");
  for (std::size_t i = 0; i < std::size(answers); ++i) {
    const Answer& a = answers[i];
    SCOPED_TRACE("answer " + std::to_string(i));
    r.Reuse(a.code, a.reason);
    r.SetMinorVersion(a.minor);
    if (*a.type) r.SetContentType(a.type);
    r.SetContentText(a.body);
    r.AddDateField = a.date;
    r.ETag = a.etag;
    r.LastModified = a.modified;
    for (const std::string& line : a.lines) r.AddLastLine(line);
    r.Prepare();
    if (a.connection >= 0) r.SetConnectionFieldForWriting(a.connection == 1);
    std::string written;
    r.AppendFinalHeaderText(written, a.server);
    EXPECT_EQ(a.status, written.substr(0, written.find("\r\n")));
    // The same answer with every line made a field, its date the same.
    r.Header();
    if (a.connection >= 0) r.SetConnectionField(a.connection == 1);
    if (*a.server) r.SetServerField(a.server);
    r.AddLastFields();
    EXPECT_EQ(r.GetHeaderText(), written);
  }
}

// Last lines keep their memory across Reuse: the lines after it are exactly
// those added after it, longer or shorter than the ones before.
TEST(Response, LastLinesAfterReuseAreOnlyTheNewOnes) {
  const std::vector<std::vector<std::string>> rounds = {
      {"Cache-Control: no-cache", "Accept-Ranges: bytes"},
      {"Cache-Control: no-cache", "Accept-Ranges: bytes"},
      {"Accept-Ranges: bytes", "Cache-Control: no-cache"},
      {"X: 1"},
      {"X: 2"},
      {},
      {"Accept-Ranges: none", "Cache-Control: private, max-age=0", "Vary: Accept-Encoding"},
  };
  ThttpResponse response(200, "HTTP", 1, 1, std::string(), nullptr, "OK");
  for (const auto& lines : rounds) {
    response.Reuse(200, "OK");
    for (const std::string& line : lines) response.AddLastLine(line);
    EXPECT_EQ(lines, response.LastLines);
    response.AddLastFields();
    std::vector<std::string> written;
    for (int i = 0; i < response.Header()->Count(); ++i)
      written.push_back(response.Header()->Fields(i)->GetAsString());
    EXPECT_EQ(lines, written);
  }
}

TEST(Response, ReuseLeavesNothingOfTheAnswerBefore) {
  const struct {
    const char* name;
    std::function<void(ThttpResponse&)> before;
  } cases[] = {
      {"fields, validators, last lines",
       [](ThttpResponse& r) {
         r.GetHeader().SetFieldValue("Content-Type", "text/html");
         r.ETag = "\"t\"";
         r.LastModified = 5;
         r.LastLines.push_back("Cache-Control: no-cache");
         r.GetCustomLines().push_back("X: y");
       }},
      {"range of a body text",
       [](ThttpResponse& r) {
         r.SetContentText("0123456789");
         r.SetRange(2, 3);
       }},
      {"owned reader, HEAD, 1xx",
       [](ThttpResponse& r) {
         r.SetContentReader(std::make_unique<TStringReader>("abc"));
         r.HasContent = false;
         r.SetStatusCode(101);
       }},
      {"prepared and written",
       [](ThttpResponse& r) {
         r.SetContentText("abc");
         r.SetServerField("S");
         r.SetConnectionField(false);
         r.Prepare();
         (void)r.GetHeaderText();
       }},
      {"reason, version, events",
       [](ThttpResponse& r) {
         r.ReasonPhrase = "Odd";
         r.SetProtocol("XTP");
         r.SetMinorVersion(0);
         r.OnBeforePrepare = r.OnContentWritten = [](AhttpMessage*) {};
       }},
  };
  const auto state = [](ThttpResponse& r) {
    r.SetServerField("S");
    r.AddLastFields();
    r.Prepare();
    std::string head = r.GetHeaderText();
    // The Date field's time may differ by a second.
    const std::size_t date = head.find("Date: ");
    if (date != std::string::npos) head.erase(date, head.find("\r\n", date) - date);
    return head + "|" + std::to_string(r.GetContentSize()) + std::to_string(r.HasContent) +
           std::to_string(r.ContentReader() != nullptr) + std::to_string(r.RangeStart) +
           std::to_string(r.RangeEnd) + std::to_string(static_cast<bool>(r.OnBeforePrepare)) +
           std::to_string(static_cast<bool>(r.OnContentWritten)) + "|" + r.GetContentText();
  };
  for (const auto& c : cases) {
    for (const int code : {200, 304, 404}) {
      SCOPED_TRACE(std::string(c.name) + " then " + std::to_string(code));
      ThttpResponse reused(500, "HTTP", 1, 1, std::string(), nullptr, "Error");
      c.before(reused);
      reused.Reuse(code, "Phrase");
      ThttpResponse fresh(code, "HTTP", 1, 1, std::string(), nullptr, "Phrase");
      EXPECT_EQ(state(fresh), state(reused));
    }
  }
}

TEST(Response, HTMLResponse) {
  auto response = CreateHTMLResponse(404, "Not found", "<p>page</p>");
  std::vector<std::string> events;
  response->OnBeforePrepare = [&](AhttpMessage* sender) {
    EXPECT_EQ(response.get(), sender);
    events.push_back("before");
  };
  response->OnAfterPrepare = [&](AhttpMessage*) { events.push_back("after"); };
  response->OnHeaderWritten = [&](AhttpMessage*) { events.push_back("header"); };
  response->OnContentWritten = [&](AhttpMessage*) { events.push_back("content"); };
  EXPECT_EQ("HTTP/1.1 404 Not found\r\nContent-Type: text/html\r\nPragma: no-cache\r\n" + kDate +
                "Content-Length: 11\r\n\r\n<p>page</p>",
            Send(*response));
  EXPECT_EQ((std::vector<std::string>{"before", "after", "header", "content"}), events);
}

// ---------------------------------------------------------------------------
// Whole messages and copies

TEST(Message, TextsAndContentSources) {
  ThttpResponse response;
  response.SetMessageText("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\nbody\r\n\r\nmore");
  EXPECT_EQ(302, response.StatusCode);
  EXPECT_EQ("/x", response.GetHeader().GetFieldValue("location"));
  EXPECT_EQ("body\r\n\r\nmore", response.GetContentText());
  EXPECT_EQ("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\nbody\r\n\r\nmore", response.GetMessageText());
  response.HasContent = false;
  EXPECT_EQ("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", response.GetMessageText());

  // A reader not yet read from becomes the text.
  ThttpRequest request;
  request.SetContentReader(std::make_unique<TStringReader>("from a reader"));
  EXPECT_TRUE(request.HasContent);
  EXPECT_EQ(13, request.GetContentLength());
  EXPECT_EQ("from a reader", request.GetContentText());
  EXPECT_TRUE(request.ContentIsText());
  request.SetContentText("");
  EXPECT_FALSE(request.HasContent);
  EXPECT_EQ(nullptr, request.ContentReader());

  EXPECT_EQ((std::vector<std::string>{"a", "", "b", "c"}), SplitTextLines("a\r\n\nb\rc\r\n"));
  EXPECT_TRUE(SplitTextLines("").empty());
}

TEST(Message, CopiesShareTheReaderWithoutOwningIt) {
  auto prototype = std::make_unique<ThttpResponse>(200, "HTTP", 1, 0, "", nullptr, "Yes");
  prototype->SetContentReader(std::make_unique<TStringReader>("shared body"));
  prototype->GetHeader().AddField("A", "1");
  prototype->GetCustomLines().push_back("B: 2");
  prototype->SetRange(0, 5);

  std::unique_ptr<AhttpMessage> copy = prototype->Duplicate();
  auto* response = dynamic_cast<ThttpResponse*>(copy.get());
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(prototype->ContentReader(), response->ContentReader());
  EXPECT_FALSE(response->OwnsContentReader());
  EXPECT_NE(prototype->Header(), response->Header());
  EXPECT_EQ("A: 1\r\n\r\n", response->GetHeader().GetAsString());
  EXPECT_EQ(std::vector<std::string>{"B: 2"}, *response->CustomLines());
  EXPECT_EQ("HTTP/1.0 206 Partial Content", response->GetStartLine());
  EXPECT_EQ(6, response->GetContentSize());
  // Freeing the copy leaves the prototype's reader alone (ASan would see a
  // double free otherwise).
  copy.reset();
  EXPECT_EQ("shared body", prototype->ContentReader()->ReadAllText());

  ThttpRequest request;
  EXPECT_VT_ERROR(request.AssignPrototype(nullptr), EhttpMessage, "No prototype");
  EXPECT_VT_ERROR(request.AssignPrototype(prototype.get()), EInvalidCast, "Invalid cast");
  EXPECT_VT_ERROR(prototype->AssignPrototype(&request), EInvalidCast, "Invalid cast");
}

}  // namespace
}  // namespace vt
