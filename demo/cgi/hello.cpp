// hello.exe: the demo site's CGI program. It answers with a small HTML page
// that shows a few of the CGI variables the server passed, and greets the
// name given in the query (hello.exe?name=Ann) or in a form sent with POST.

#include <cstdio>
#include <cstdlib>
#include <iostream>
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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A form-encoded text decoded: "+" is a blank, "%HH" the byte it names.
std::string FormDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The decoded value of `key` in form data: key=value pairs joined by "&",
// each still encoded, as the server passes a query (so a "%26" in a value
// is a "&" of that value, not the start of another pair).
std::string FormValue(const std::string& data, const std::string& key) {
  std::size_t start = 0;
  while (start <= data.size()) {
    std::size_t end = data.find('&', start);
    if (end == std::string::npos) end = data.size();
    const std::string pair = data.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && FormDecode(pair.substr(0, equals)) == key)
      return FormDecode(pair.substr(equals + 1));
    start = end + 1;
  }
  return "";
}

// The form data of the request: a POSTed form's body (CONTENT_LENGTH bytes
// on standard input), otherwise the query.
std::string FormData() {
  if (Variable("REQUEST_METHOD") != "POST") return Variable("QUERY_STRING");
  const long length = std::strtol(Variable("CONTENT_LENGTH").c_str(), nullptr, 10);
  std::string body(length > 0 && length <= 65536 ? static_cast<std::size_t>(length) : 0, '\0');
  std::cin.read(body.data(), static_cast<std::streamsize>(body.size()));
  body.resize(static_cast<std::size_t>(std::cin.gcount()));
  return body;
}

}  // namespace

int main() {
  const std::string name = FormValue(FormData(), "name");
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Hello from a CGI program</title>\n<link rel=\"stylesheet\" href=\"../style.css\">\n"
      "</head>\n<body>\n<h1>Hello" +
      (name.empty() ? std::string() : ", " + Escape(name)) +
      "!</h1>\n<p>This page was written by <code>cgi/hello.exe</code>, a program the server ran for "
      "this request.</p>\n"
      "<form action=\"hello.exe\" method=\"post\"><label>Your name: <input name=\"name\"></label> "
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
