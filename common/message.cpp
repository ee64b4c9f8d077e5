#include "sp_message.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// The installed handler and its context. Installing is rare and reading must be cheap, so
// the pair is guarded by a mutex only for its updates; readers take a consistent copy.
std::mutex gHandlerMutex;
OutLogMessageHandler gHandler = nullptr;
void* gHandlerContext = nullptr;
std::atomic<bool> gHasHandler{false};

thread_local char tMessageBuffer[sp::kMessageBufferSize];

}  // namespace

int OutLogMessage(unsigned int channel, const char* text) {
  if (!gHasHandler.load(std::memory_order_acquire)) return 1;
  OutLogMessageHandler handler;
  void* context;
  {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    handler = gHandler;
    context = gHandlerContext;
  }
  if (handler != nullptr) {
    try {
      handler(context, channel, text != nullptr ? text : "");
    } catch (...) {
      // A client handler must not break the library's no-exception contract.
    }
  }
  return 1;
}

OutLogMessageHandler SetOutLogMessageHandler(OutLogMessageHandler handler, void* context,
                                             void** previousContext) {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  OutLogMessageHandler previous = gHandler;
  if (previousContext != nullptr) *previousContext = gHandlerContext;
  gHandler = handler;
  gHandlerContext = context;
  gHasHandler.store(handler != nullptr, std::memory_order_release);
  return previous;
}

namespace sp {

char* MessageBuffer() { return tMessageBuffer; }

void LogLine(unsigned int channel, const char* text) { OutLogMessage(channel, text); }

void LogFormat(unsigned int channel, const char* format, ...) {
  char* buffer = MessageBuffer();
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, kMessageBufferSize, format, args);
  va_end(args);
  if (n < 0) buffer[0] = 0;
  buffer[kMessageBufferSize - 1] = 0;
  OutLogMessage(channel, buffer);
}

}  // namespace sp
