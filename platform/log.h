#pragma once

// TLog: a log component that stamps and distributes log messages.
//
// A message carries a small log class: 0 information and 1 error (as the TCP
// server uses them), 2 and 3 further classes, 4 the repeat notes of
// loCollapseRepeats. Each message goes, in this order, to the log it is
// forwarded to, to OnEditMessage, to OnLogMessage, to standard error
// (loLogToDebugger) and to the log file (loLogToFile), optionally prefixed
// with the date, the time and the milliseconds since the previous message.
//
// Threads: Log takes no lock. A log shared by several threads must be called
// from one thread at a time (the TCP server calls it on the main thread only).
// Lifetime: the owner creates and destroys it; a log that ForwardTo or a
// server's LogTo refers to may be destroyed first, and the referrer then
// forgets it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/component.h"
#include "streams/writer.h"

namespace vt {

enum TLogOption : std::uint16_t {
  loLogToFile = 1,            // append each message as a line to LogFileName
  loKeepFileOpen = 2,         // keep the log file open between messages
  loLogToDebugger = 4,        // copy each message to standard error
  loNoLogEvent = 8,           // do not call OnLogMessage
  loLogDate = 16,             // prefix the date as "yymmdd"
  loLogTime = 32,             // prefix the time as "hhnnss"
  loLogElapsed = 64,          // prefix the milliseconds since the previous message
  loIgnoreLogFailures = 128,  // swallow exceptions raised while logging
  loCollapseRepeats = 256,    // collapse identical consecutive messages
  loHideClass3 = 512,
  loHideClass1 = 1024,
  loHideClass2 = 2048,
  loHideClass0 = 4096,
};
using TLogOptions = std::uint16_t;

// The class of the "N times" notes written by loCollapseRepeats.
constexpr int kLogClassRepeatNote = 4;

class TLog : public TComponent {
 public:
  using TLogMessageEvent = std::function<void(TComponent* sender, int log_class, const std::string& message)>;
  using TEditMessageEvent = std::function<void(TComponent* sender, int log_class, std::string& message)>;
  using TLogFileWriteEvent =
      std::function<void(TComponent* sender, int log_class, bool& write, std::string& message)>;

  TLog();
  ~TLog() override;

  const char* ClassName() const override { return "TLog"; }

  TLogOptions Options = 0;
  // The file of loLogToFile, relative to the current directory unless absolute.
  std::string LogFileName;

  // Receives the finished message, before the prefixes are added.
  TLogMessageEvent OnLogMessage;
  // May change the message text.
  TEditMessageEvent OnEditMessage;
  // May veto (clear the flag) or change the line written to the file.
  TLogFileWriteEvent OnLogFileWrite;

  // The log that receives every message first; forgotten when it is destroyed.
  TLog* ForwardTo() const { return forward_to_; }
  void SetForwardTo(TLog* log);

  // Virtual operations, in slot order.
  // Restores the initial state: file name from the class name ("Log.log"),
  // no options, elapsed time counted from now, no repeats pending.
  virtual void Reset();
  // Hook for derived classes: the finished text with its prefixes.
  virtual void TriggerLogMessage(int log_class, const std::string& message);
  virtual void Log(TComponent* sender, int log_class, const std::string& message);

 protected:
  void Notification(TComponent* component) override;

 private:
  bool IsHidden(int log_class) const;
  void Distribute(TComponent* sender, int log_class, const std::string& message);
  void WriteToFile(int log_class, const std::string& line);

  TLog* forward_to_ = nullptr;
  std::unique_ptr<TFileWriter> file_;  // open between messages only with loKeepFileOpen
  std::uint32_t last_tick_ = 0;
  std::string last_message_;
  bool has_last_message_ = false;
  int repeat_count_ = 0;
};

}  // namespace vt
