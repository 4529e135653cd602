#include "app/upload_receiver.h"

#include <memory>

#include "app/upload_store.h"
#include "http/multipart.h"

namespace vt {

namespace {

// Reads the body to its end, handing each block to `take`. A body that
// stops before its end is no whole body: the reader raises, or a read gives
// nothing, which is the same to an upload.
template <typename Take>
void ReadWhole(AReaderEx& body, const TUploadJob& job, Take&& take) {
  std::unique_ptr<char[]> block(new char[kUploadReadBlock]);
  std::int64_t received = 0;
  while (!body.AtEnd()) {
    const std::int32_t got = body.Read(block.get(), kUploadReadBlock);
    if (got <= 0) {
      if (body.AtEnd()) break;
      RaiseReadError("The upload's body ended early");
    }
    received += got;
    take(std::string_view(block.get(), static_cast<std::size_t>(got)));
    if (job.progress) job.progress(received);
  }
}

void CheckName(const std::string& name) {
  if (const char* reason = RefuseUploadName(name)) throw EUpload(403, std::string(reason) + ": " + name);
}

// The files of a form: a part with a file name becomes a file; one without
// (a field) and one with an empty name (a file input left empty) are read
// past.
class TFormFiles : public IMultipartSink {
 public:
  explicit TFormFiles(const TUploadJob& job) : job_(job) {}

  void BeginPart(const TMultipartPart& part) override {
    current_ = nullptr;
    if (!part.has_filename || part.filename.empty()) return;
    CheckName(part.filename);
    if (files_.size() >= kMaxFormFiles) throw EUpload(413, "A form may send at most 100 files at once");
    files_.push_back({part.filename, std::make_unique<TUploadFile>(*job_.folder, job_.max_file_size, -1)});
    current_ = files_.back().file.get();
  }
  void PartData(std::string_view data) override {
    if (current_) current_->Write(data.data(), data.size());
  }
  void EndPart() override { current_ = nullptr; }

  std::vector<TStoredFile> Commit() {
    std::vector<TStoredFile> stored;
    for (TFile& file : files_) stored.push_back({file.file->Commit(file.name), file.file->Size()});
    return stored;
  }

 private:
  struct TFile {
    std::string name;
    std::unique_ptr<TUploadFile> file;
  };
  const TUploadJob& job_;
  std::vector<TFile> files_;
  TUploadFile* current_ = nullptr;
};

}  // namespace

TStoredFile ReceivePut(AReaderEx& body, const std::string& name, const TUploadJob& job) {
  CheckName(name);
  TUploadFile file(*job.folder, job.max_file_size, body.GetSize());
  ReadWhole(body, job, [&](std::string_view data) { file.Write(data.data(), data.size()); });
  TStoredFile stored{file.Commit(name), file.Size()};
  job.folder->Sync();
  return stored;
}

std::vector<TStoredFile> ReceiveForm(AReaderEx& body, std::string_view boundary, const TUploadJob& job) {
  TFormFiles files(job);
  TMultipartParser parser(boundary, files);
  try {
    ReadWhole(body, job, [&](std::string_view data) { parser.Feed(data); });
    parser.Finish();
  } catch (const EMultipart& error) {
    throw EUpload(400, "The form's body cannot be read: " + error.Message());
  }
  std::vector<TStoredFile> stored = files.Commit();
  if (!stored.empty()) job.folder->Sync();
  return stored;
}

}  // namespace vt
