// A window for the core's tests: records every call in order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/window.h"

namespace fernwise::testing {

class RecordingWindow : public Window {
 public:
  void ShowStatus(const std::string& text) override {
    statuses.push_back(text);
    events.push_back("status " + text);
    if (on_status) on_status(text);
  }
  void ShowReport(const std::string& text) override {
    report = text;
    events.push_back("report");
  }
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    events.push_back("message " + text);
  }
  void SetButtonEnabled(bool enabled) override {
    button_enabled = enabled;
    events.push_back(enabled ? "enable" : "disable");
  }
  void HandleEvents() override { events.push_back("events"); }
  void ShowProgress(int permille) override {
    events.push_back("progress " + std::to_string(permille));
  }

  std::vector<std::string> statuses;
  std::vector<std::string> messages;
  std::vector<std::string> events;
  std::string report;
  bool button_enabled = true;
  /// Runs after each status text is recorded, to change the world mid-run.
  std::function<void(const std::string&)> on_status;
};

}  // namespace fernwise::testing
