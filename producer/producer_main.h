#pragma once
// The producer's whole life: start-up, the demand-driven loop, the stop sequence.
#include <windows.h>

#include <functional>
#include <iosfwd>
#include <memory>

#include "producer/capture_source.h"
#include "producer/retouch_context.h"
#include "producer/telemetry/telemetry_client.h"
#include "producer/telemetry_sink.h"

namespace tesmira {

using CaptureFactory = std::function<std::unique_ptr<ICaptureSource>(const ProducerOptions&)>;

// What the loop plugs into; the defaults are the real ones.
struct ProducerSeams {
  CaptureFactory makeCapture = makePhysicalCamera;
  RetouchContextFactory makeContext = makeRetouchContext;
  TelemetryFactory makeTelemetry = telemetry::makeTelemetryClient;
  // Sleeps of the loop, in milliseconds (fractions for the still pacing).
  std::function<void(double ms)> sleepMs;
  std::ostream* out = nullptr;  // standard output when null
  std::ostream* err = nullptr;  // standard error when null
};

// 0 after an orderly stop, after --headless-frames frames and for --help; 1 after a fatal error.
int runProducer(int argc, char** argv, const ProducerSeams& seams = {});

// Ctrl-C, Ctrl-Break, console close and shutdown set the stop flag; other events are declined.
BOOL onConsoleControl(DWORD controlType);
bool envFlagEnabled(const char* name);

}  // namespace tesmira
