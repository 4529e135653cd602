// hello.exe: the demo site's CGI program. It answers with a small HTML page
// that shows a few of the CGI variables the server passed, and greets the
// name given in the query (hello.exe?name=Ann).

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
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
  }
  return out;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The value of `key` in a query of key=value pairs joined by "&" (the
// server has already decoded it).
std::string QueryValue(const std::string& query, const std::string& key) {
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    if (pair.compare(0, key.size() + 1, key + "=") == 0) return pair.substr(key.size() + 1);
    start = end + 1;
  }
  return "";
}

}  // namespace

int main() {
  const std::string name = QueryValue(Variable("QUERY_STRING"), "name");
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Hello from a CGI program</title>\n<link rel=\"stylesheet\" href=\"../style.css\">\n"
      "</head>\n<body>\n<h1>Hello" +
      (name.empty() ? std::string() : ", " + Escape(name)) +
      "!</h1>\n<p>This page was written by <code>cgi/hello.exe</code>, a program the server ran for "
      "this request.</p>\n"
      "<form action=\"hello.exe\"><label>Your name: <input name=\"name\"></label> "
      "<button>Greet me</button></form>\n<h2>Some of its CGI variables</h2>\n<table>\n";
  for (const char* variable :
       {"REQUEST_METHOD", "REQUEST_URI", "QUERY_STRING", "REMOTE_ADDR", "REMOTE_PORT", "SERVER_SOFTWARE",
        "SERVER_PORT", "HTTP_USER_AGENT", "SCRIPT_FILENAME", "DATE_LOCAL"}) {
    page += "<tr><th>" + std::string(variable) + "</th><td>" + Escape(Variable(variable)) + "</td></tr>\n";
  }
  page += "</table>\n<p><a href=\"../index.html\">Back to the demo site</a></p>\n</body>\n</html>\n";

  std::printf("Content-Type: text/html\r\n\r\n%s", page.c_str());
  return 0;
}
