#include "app/upload_form.h"

#include "app/html_text.h"
#include "app/upload_handler.h"
#include "util/text.h"

namespace vt {

namespace {

// Sends each chosen or dropped file as a form of its own, so that each has
// its own progress bar and one failure does not lose the others; the
// server's answer page is shown under the bar. No library, no build step:
// the page must stay small and readable.
constexpr const char* kUploadScript = R"JS(<script>
(function () {
  var form = document.getElementById('vt-upload');
  if (!form || !window.FormData || !window.XMLHttpRequest) return;
  var input = form.querySelector('input[type=file]');
  var list = document.getElementById('vt-upload-list');
  var drop = document.createElement('div');
  drop.id = 'vt-upload-drop';
  drop.textContent = 'Drop files here';
  drop.style.cssText = 'border:2px dashed #888;padding:1.5em;margin:.5em 0;text-align:center';
  form.insertBefore(drop, form.firstChild);
  function send(file) {
    var row = document.createElement('li');
    var bar = document.createElement('progress');
    bar.max = 1; bar.value = 0;
    row.appendChild(document.createTextNode(file.name + ' '));
    row.appendChild(bar);
    var note = document.createElement('span');
    row.appendChild(note);
    list.appendChild(row);
    var data = new FormData();
    data.append('file', file, file.name);
    var request = new XMLHttpRequest();
    request.open('POST', form.action);
    request.upload.onprogress = function (e) { if (e.lengthComputable) bar.value = e.loaded / e.total; };
    request.onload = function () {
      bar.value = 1;
      var page = new DOMParser().parseFromString(request.responseText, 'text/html');
      var text = page.body ? page.body.innerText || page.body.textContent : '';
      note.textContent = ' ' + (request.status === 201 ? 'stored' : 'not stored (' + request.status + ')');
      if (request.status !== 201) note.title = text;
    };
    request.onerror = function () { note.textContent = ' not stored (the connection broke)'; };
    request.send(data);
  }
  function sendAll(files) { for (var i = 0; i < files.length; i++) send(files[i]); }
  form.addEventListener('submit', function (e) { e.preventDefault(); sendAll(input.files); input.value = ''; });
  drop.addEventListener('dragover', function (e) { e.preventDefault(); drop.style.background = '#eef'; });
  drop.addEventListener('dragleave', function () { drop.style.background = ''; });
  drop.addEventListener('drop', function (e) {
    e.preventDefault();
    drop.style.background = '';
    sendAll(e.dataTransfer.files);
  });
})();
</script>)JS";

}  // namespace

std::string UploadFormHTML(std::string_view folder_url, std::int64_t max_size) {
  const std::string action = EscapeHTMLText(PercentEncodePath(folder_url));
  std::string html;
  html += "<form id=\"vt-upload\" method=\"post\" enctype=\"multipart/form-data\" action=\"" + action + "\">";
  html += "<p><label>Send files to this folder (at most " + ByteCountToText(false, max_size) +
          " each): <input type=\"file\" name=\"file\" multiple></label> ";
  html += "<button type=\"submit\">Upload</button></p>";
  html += "<ul id=\"vt-upload-list\"></ul></form>\n";
  html += kUploadScript;
  return html;
}

}  // namespace vt
