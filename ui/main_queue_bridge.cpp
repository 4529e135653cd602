#include "ui/main_queue_bridge.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>
#include <cstdio>

#include "platform/event_queue.h"
#include "platform/synchronize.h"

namespace vt {

TMainQueueBridge::TMainQueueBridge(QObject* parent)
    : QObject(parent),
      notifier_(std::make_unique<QSocketNotifier>(MainQueueDescriptor(), QSocketNotifier::Read)) {
  Q_ASSERT(IsMainThread());
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Serve(); });
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { Serve(); });
  }
}

TMainQueueBridge::~TMainQueueBridge() = default;

int TMainQueueBridge::Serve() {
  try {
    return ProcessThreadMessages();
  } catch (const std::exception& error) {
    if (OnException) {
      OnException(error);
    } else {
      std::fprintf(stderr, "%s\n", error.what());
    }
  } catch (...) {
    std::fprintf(stderr, "unknown exception in a message handler\n");
  }
  // The messages after the failed one stay queued for the next turn (at the
  // latest when the loop is about to block).
  return 0;
}

}  // namespace vt
