#pragma once

// Text that goes into an HTML page as text, never as markup.

#include <string>
#include <string_view>

namespace vt {

// `text` with "&", "<", ">", '"' and "'" written as character references, so
// that it shows as written inside an element or a quoted attribute.
std::string EscapeHTMLText(std::string_view text);

}  // namespace vt
