// The simulated Vesmora app as the simulated device hosts it: draws the model's state as an
// accessibility tree and turns the actions on that tree into model operations.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/MockBackend.h"
#include "model/TestBackend.h"
#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora {

class VesmoraApp : public sim::App {
 public:
  static constexpr const char* kBundleIdentifier = "com.corvane.vesmora";

  // `testBackend` is used unless the launch arguments carry a test setting.
  VesmoraApp(sim::LaunchContext& context, TestBackend& testBackend);
  ~VesmoraApp() override;

  sim::Node render() override;
  // Counts the changes of the app's state: actions, finished requests, biometric scans, answers
  // to its system prompts, going to the background, and every hand-out of the model.
  std::optional<std::uint64_t> renderGeneration() const override { return generation_; }
  void didEnterBackground() override;
  void perform(const std::vector<const sim::Node*>& path, const sim::Action& action) override;
  // A request in progress ends `loadingSeconds` of virtual time after it was sent.
  std::optional<double> nextDeadline() const override { return loadingDeadline_; }
  void timeAdvanced(double now) override;

  // The launch-environment entry that sets the loading time of every request, in seconds, and
  // the time without it.
  static constexpr const char* kLoadingSecondsKey = "VESMORA_LOADING_SECONDS";
  static constexpr double kDefaultLoadingSeconds = 2;
  // The loading time a value of that entry gives: a decimal number of seconds from 0 (answers at
  // once) to 3600, like "2" or "0.5". Anything else throws std::invalid_argument with a message
  // that names the entry and the value: the app does not launch with a setting it cannot use.
  static double loadingSecondsFrom(const std::string& text);

  // The caller may change the model through it: the screen is drawn afresh afterwards.
  VesmoraModel& model() {
    ++generation_;
    return *model_;
  }

 private:
  sim::Node signInScreen();
  sim::Node challengeScreen();
  sim::Node landingScreen();
  sim::Node alertNode(const Alert& alert);
  sim::Node surveyPopUp();
  sim::Node textField(XCUIElementType type, const std::string& identifier, Field field, const std::string& text,
                      const std::string& placeholder);

  void tapBiometricLogin();
  void observeBiometricScans();

  sim::Device& device_;
  std::string bundleIdentifier_;
  std::vector<std::uint64_t> observers_;
  std::unique_ptr<MockBackend> mockBackend_;
  // Starts the loading time of a request the last action sent.
  void noteLoading();

  std::unique_ptr<VesmoraModel> model_;
  std::optional<double> loadingDeadline_;
  std::uint64_t generation_ = 0;
};

// Installs the app on the device, makes it the app under test and reseeds the test backend
// before every test method. The test backend lives as long as the process.
void installVesmora(sim::Device& device);
// The test backend of the installed app (for tests of the simulator itself).
TestBackend& installedTestBackend();

}  // namespace vesmora
