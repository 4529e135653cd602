#include "platform/log.h"

#include <unistd.h>

#include <cstdio>

#include "platform/ticks.h"
#include "util/date_time.h"
#include "util/text.h"

namespace vt {
namespace {

std::string TwoDigits(int value) { return PadTextLeft(std::to_string(value % 100), '0', 2, false); }

}  // namespace

TLog::TLog() { Reset(); }

TLog::~TLog() = default;

void TLog::SetForwardTo(TLog* log) {
  if (log == forward_to_) return;
  if (forward_to_) RemoveFreeNotification(forward_to_);
  forward_to_ = log;
  if (forward_to_) FreeNotification(forward_to_);
}

void TLog::Notification(TComponent* component) {
  if (component == forward_to_) forward_to_ = nullptr;
}

void TLog::Reset() {
  std::string name = ClassName();
  if (!name.empty() && name[0] == 'T') name.erase(0, 1);
  LogFileName = name + ".log";
  Options = 0;
  last_tick_ = GetTickCount();
  last_message_.clear();
  has_last_message_ = false;
  repeat_count_ = 0;
  file_.reset();
}

bool TLog::IsHidden(int log_class) const {
  switch (log_class) {
    case 0:
      return (Options & loHideClass0) != 0;
    case 1:
      return (Options & loHideClass1) != 0;
    case 2:
      return (Options & loHideClass2) != 0;
    case 3:
      return (Options & loHideClass3) != 0;
    default:
      return false;
  }
}

void TLog::TriggerLogMessage(int log_class, const std::string& message) {
  (void)log_class;
  (void)message;
}

void TLog::Log(TComponent* sender, int log_class, const std::string& message) {
  if (forward_to_) {
    try {
      forward_to_->Log(sender, log_class, message);
    } catch (...) {
      if (!(Options & loIgnoreLogFailures)) throw;
    }
  }
  if (IsHidden(log_class)) return;
  try {
    if (Options & loCollapseRepeats) {
      if (has_last_message_ && message == last_message_) {
        ++repeat_count_;
        return;
      }
      if (repeat_count_ > 0) {
        const int count = repeat_count_;
        repeat_count_ = 0;
        Log(this, kLogClassRepeatNote, std::to_string(count + 1) + " times");
      }
      last_message_ = message;
      has_last_message_ = true;
    }
    Distribute(sender, log_class, message);
  } catch (...) {
    if (!(Options & loIgnoreLogFailures)) throw;
  }
}

void TLog::Distribute(TComponent* sender, int log_class, const std::string& message) {
  std::string text = message;
  if (OnEditMessage) OnEditMessage(sender, log_class, text);
  if (!(Options & loNoLogEvent) && OnLogMessage) OnLogMessage(sender, log_class, text);

  if (Options & loLogElapsed) {
    const std::uint32_t now = GetTickCount();
    text = PadTextLeft(std::to_string(now - last_tick_), ' ', 4, false) + " " + text;
    last_tick_ = now;
  }
  if (Options & (loLogTime | loLogDate)) {
    const TDateTimeParts now = DecodeDateTime(NowLocal());
    if (Options & loLogTime)
      text = TwoDigits(now.hour) + TwoDigits(now.minute) + TwoDigits(now.second) + " " + text;
    if (Options & loLogDate)
      text = TwoDigits(now.year) + TwoDigits(now.month) + TwoDigits(now.day) + " " + text;
  }

  TriggerLogMessage(log_class, text);

  if (Options & loLogToDebugger) {
    const std::string line = text + "\n";
    // One write, so that lines of several threads or processes never mix.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  }
  if ((Options & loLogToFile) && !LogFileName.empty()) WriteToFile(log_class, text);
}

void TLog::WriteToFile(int log_class, const std::string& line) {
  bool write = true;
  std::string text = line;
  if (OnLogFileWrite) OnLogFileWrite(this, log_class, write, text);
  if (!write) return;

  // Closes the file after this line unless it is to stay open, also when the
  // write fails.
  struct CloseUnlessKept {
    TLog& log;
    ~CloseUnlessKept() {
      if (!(log.Options & loKeepFileOpen)) log.file_.reset();
    }
  } closer{*this};

  if (!file_) {
    try {
      file_ = std::make_unique<TFileWriter>(LogFileName, fwOpen);
      file_->SeekToEnd();
    } catch (const Exception&) {
      file_ = std::make_unique<TFileWriter>(LogFileName, fwCreate);
    }
  }
  file_->WriteText(text + "\r\n");
}

}  // namespace vt
