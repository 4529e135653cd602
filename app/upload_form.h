#pragma once

// The upload form of the upload folder's listing page: a plain HTML form
// (multipart/form-data, several files) that works without script, and a
// small script that, where it runs, adds a drop area and sends each file on
// its own with a progress bar. The script only improves the form: without
// it (or in a browser that blocks it) the form posts as any form does.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

// The form and its script, to go inside the page's body; `folder_url` is
// the upload folder's URL path ("/" or "/photos/", as the request names
// it, not yet percent-encoded); `max_size` the most bytes of one file,
// shown to the user.
std::string UploadFormHTML(std::string_view folder_url, std::int64_t max_size);

}  // namespace vt
