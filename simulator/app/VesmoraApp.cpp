#include "app/VesmoraApp.h"

#include "app/AccountViews.h"
#include "app/MoreViews.h"
#include "app/OverviewViews.h"
#include "app/TransferViews.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "xctest/XCTVirtualClock.h"

namespace vesmora {
namespace {

using sim::Action;
using sim::Node;
using Type = XCUIElementType;

Biometry biometryOf(sim::BiometryKind kind) {
  switch (kind) {
    case sim::BiometryKind::faceID:
      return Biometry::face;
    case sim::BiometryKind::touchID:
      return Biometry::touch;
    case sim::BiometryKind::none:
      break;
  }
  return Biometry::none;
}

Node staticText(const std::string& label, const std::string& identifier = {}) {
  return Node(Type::staticText, identifier, label);
}

Node row(double y, double height = 44) { return Node(Type::other).withFrame({0, y, 390, height}); }

const double kScreenWidth = 390;
const double kScreenHeight = 844;

}  // namespace

const Fault kPasswordInClear("passwordInClear", "the secure password field shows the typed characters");
const Fault kLoginButtonNeedsBoth("loginButtonNeedsBoth",
                                  "the sign-in button stays disabled until both credential fields are filled");
const Fault kUserNamePlaceholderTypo("userNamePlaceholderTypo", "the user-name placeholder reads \"Enter user name\"");
const Fault kBiometricButtonWording("biometricButtonWording",
                                    "the biometric sign-in button reads \"Log in with Face ID\"");
const Fault kNoLoadingIndicator("noLoadingIndicator",
                                "requests in progress cover the screen without showing the loading indicator");

VesmoraApp::VesmoraApp(sim::LaunchContext& context, TestBackend& testBackend)
    : device_(context.device), bundleIdentifier_(context.bundleIdentifier) {
  LaunchSettings settings = LaunchSettings::fromArguments(context.arguments);
  if (auto faults = context.environment.find(Faults::kEnvironmentKey); faults != context.environment.end())
    settings.faults = Faults::parseKnown(faults->second);
  settings.loadingSeconds = kDefaultLoadingSeconds;
  if (auto seconds = context.environment.find(kLoadingSecondsKey); seconds != context.environment.end())
    settings.loadingSeconds = loadingSecondsFrom(seconds->second);
  Backend* backend = &testBackend;
  if (settings.usesMockBackend()) {
    mockBackend_ = std::make_unique<MockBackend>();
    backend = mockBackend_.get();
  }
  AppStore store(context.storage);
  model_ = std::make_unique<VesmoraModel>(store, *backend, settings, biometryOf(context.device.biometryKind()));
  model_->setClock([] { return XCTVirtualClock::epochSeconds(); });
  model_->setBiometricEnrollment([&device = device_] { return device.isBiometricEnrolled(); });
  observeBiometricScans();

  // The app asks for the location once; the answer is kept with the app's data.
  if (store.locationPermission() == "notDetermined") {
    std::map<std::string, std::string>* storage = &context.storage;
    sim::SystemAlert prompt;
    prompt.title = "Allow \u201cVesmora\u201d to access your location?";
    prompt.message = "Your location is used to find branches and ATMs near you.";
    prompt.buttons = {"Always Allow", "Allow While Using App", "Don't Allow"};
    prompt.onButton = [storage](const std::string& button) {
      AppStore answered(*storage);
      if (button == "Always Allow") {
        answered.setLocationPermission("authorizedAlways");
      } else if (button == "Allow While Using App") {
        answered.setLocationPermission("authorizedWhenInUse");
      } else {
        answered.setLocationPermission("denied");
      }
    };
    context.device.presentSystemAlert(prompt);
  }
}

double VesmoraApp::loadingSecondsFrom(const std::string& text) {
  const bool decimal = std::count(text.begin(), text.end(), '.') <= 1 &&
                       std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                       std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
  double seconds = -1;
  if (decimal) std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (!(seconds >= 0 && seconds <= 3600)) {
    throw std::invalid_argument(std::string(kLoadingSecondsKey) +
                                " must be a number of seconds from 0 to 3600, like 2 or 0.5, not \"" + text + "\"");
  }
  return seconds;
}

VesmoraApp::~VesmoraApp() {
  for (std::uint64_t token : observers_) device_.removeNotificationObserver(token);
}

// The simulator announces a scanned face ("pearl") or finger ("fingerTouch") as notifications; the
// app hears the kind its device has.
void VesmoraApp::observeBiometricScans() {
  std::string sensor;
  switch (model_->biometry()) {
    case Biometry::face:
      sensor = "pearl";
      break;
    case Biometry::touch:
      sensor = "fingerTouch";
      break;
    case Biometry::none:
      return;
  }
  for (bool matched : {true, false}) {
    std::string name = "com.apple.BiometricKit_Sim." + sensor + (matched ? ".match" : ".nomatch");
    observers_.push_back(device_.addNotificationObserver(name, [this, matched](const std::string&) {
      if (device_.state(bundleIdentifier_) != sim::AppState::runningForeground) return;
      ++generation_;
      model_->biometricScanned(matched);
      noteLoading();
    }));
  }
}

void VesmoraApp::tapBiometricLogin() {
  model_->tapBiometricLogin();
  if (model_->biometricPrompt() != BiometricPrompt::permission) return;
  // The system asks once whether the app may use Face ID; the prompt goes if the app terminates.
  sim::SystemAlert prompt;
  prompt.title = texts::faceIDPermissionTitle();
  prompt.message = texts::kFaceIDPermissionMessage;
  prompt.buttons = {"Don't Allow", "OK"};
  prompt.onButton = [this](const std::string& button) {
    ++generation_;
    model_->answerFaceIDPermission(button == "OK");
  };
  prompt.owner = bundleIdentifier_;
  device_.presentSystemAlert(prompt);
}

void VesmoraApp::didEnterBackground() {
  ++generation_;
  model_->enteredBackground();
}

Node VesmoraApp::textField(Type type, const std::string& identifier, Field field, const std::string& text,
                           const std::string& placeholder) {
  Node node(type, identifier);
  // Like the platform, an empty field reports its placeholder as its value.
  node.withValue(text.empty() ? placeholder : text).withPlaceholder(placeholder).withFocus(model_->focus() == field);
  node.on([this, field](const Action& action) {
    switch (action.kind) {
      case Action::Kind::tap:
      case Action::Kind::doubleTap:
        model_->focusField(field);
        break;
      case Action::Kind::typeText:
        model_->typeText(field, action.text);
        break;
      case Action::Kind::paste:
        model_->paste(field, action.text);
        break;
      default:
        break;
    }
  });
  return node;
}

Node VesmoraApp::signInScreen() {
  Node content(Type::other, "signInView");
  content.add(row(80).add(staticText(texts::kWelcome)));

  std::string userName = model_->userNameText();
  const char* userNamePlaceholder =
      model_->settings().faults.has(kUserNamePlaceholderTypo) ? "Enter user name" : texts::kUserNamePlaceholder;
  content.add(row(160).add(textField(Type::textField, "userNameTextField", Field::userName, userName,
                                     userNamePlaceholder)));

  const std::string& password = model_->password();
  if (model_->passwordVisible()) {
    content.add(row(220).add(textField(Type::textField, "passwordTextField", Field::password, password,
                                       texts::kPasswordPlaceholder)));
  } else {
    std::string bullets;
    for (std::size_t i = 0, n = sim::characterCount(password); i < n; ++i) bullets += "\u2022";
    if (model_->settings().faults.has(kPasswordInClear)) bullets = password;
    content.add(row(220).add(textField(Type::secureTextField, "passwordTextField", Field::password, bullets,
                                       texts::kPasswordPlaceholder)));
  }
  content.add(row(220, 44).withFrame({330, 220, 60, 44}).add(
      Node(Type::button, "showPasswordButton", model_->passwordVisible() ? "Hide" : "Show").onTap([this] {
        model_->tapShowPassword();
      })));

  content.add(row(280).add(Node(Type::switch_, "RememberMeSwitch", "Remember my username")
                               .withValue(std::string(model_->rememberMeOn() ? "1" : "0"))
                               .withEnabled(model_->rememberMeEnabled())
                               .onTap([this] { model_->tapRememberMe(); })));

  bool loginEnabled = !model_->settings().faults.has(kLoginButtonNeedsBoth) ||
                      (!userName.empty() && !model_->password().empty());
  content.add(row(340).add(
      Node(Type::button, "loginButton", "Log in").withEnabled(loginEnabled).onTap([this] { model_->tapLogin(); })));

  if (model_->biometry() != Biometry::none) {
    std::string wording = model_->settings().faults.has(kBiometricButtonWording) ? "Log in with " : "Log in using ";
    content.add(row(400).add(Node(Type::button, "biometricLoginButton", wording + model_->biometryName())
                                 .onTap([this] { tapBiometricLogin(); })));
  }
  return content;
}

Node VesmoraApp::challengeScreen() {
  Node content(Type::other, "challengeView");
  content.add(row(80).add(staticText(texts::kChallengeTitle)));
  content.add(row(140).add(staticText(model_->challengeQuestion(), "Security_Question_Label")));
  content.add(row(200).add(textField(Type::textField, "Security_Answer_TextField", Field::challengeAnswer,
                                     model_->challengeAnswer(), "Answer")));
  content.add(row(260).add(Node(Type::button, "loginButton", "Submit").onTap([this] { model_->tapChallengeSubmit(); })));
  content.add(row(40).withFrame({0, 40, 80, 44}).add(
      Node(Type::button, "Close", "Close").onTap([this] { model_->tapChallengeClose(); })));
  return content;
}

Node VesmoraApp::landingScreen() {
  Node content(Type::other, "landingView");
  switch (model_->tab()) {
    case Tab::overview: {
      if (model_->accountPages().page() != AccountPages::Page::none) {
        content.add(views::accountPage(*model_));
        break;
      }
      content.add(Node(Type::navigationBar, "Overview").add(staticText("Overview")));
      content.add(views::overviewTable(*model_, XCTVirtualClock::epochSeconds()));
      break;
    }
    case Tab::moveMoney: {
      if (model_->transferForm()) {
        content.add(views::transferPage(*model_));
        break;
      }
      content.add(Node(Type::navigationBar, "Move money").add(staticText("Move money")));
      if (!model_->loading()) content.add(views::moveMoneyMenu(*model_));
      break;
    }
    case Tab::more:
      views::addMoreTab(content, *model_);
      break;
  }
  Node tabBar(Type::tabBar, "Tab Bar");
  tabBar.withFrame({0, kScreenHeight - 83, kScreenWidth, 83});
  const std::pair<const char*, Tab> tabs[] = {{"Overview", Tab::overview}, {"Move money", Tab::moveMoney}, {"More", Tab::more}};
  for (const auto& [title, tab] : tabs) {
    Tab target = tab;
    tabBar.add(Node(Type::button, title, title).withSelected(model_->tab() == tab).onTap([this, target] {
      model_->selectTab(target);
    }));
  }
  content.add(tabBar);
  if (model_->tab() == Tab::moveMoney) content.add(views::transferOverlay(*model_));
  return content;
}

Node VesmoraApp::alertNode(const Alert& alert) {
  Node node(Type::alert, alert.identifier, alert.title);
  node.withFrame({45, 300, 300, 220});
  node.add(staticText(alert.title));
  node.add(staticText(alert.message));
  for (const auto& button : alert.buttons) {
    node.add(Node(Type::button, button, button).onTap([this, button] { model_->tapAlertButton(button); }));
  }
  return node;
}

Node VesmoraApp::surveyPopUp() {
  Node popUp(Type::other, "surveyPopUp");
  popUp.withFrame({20, 200, 350, 400}).asModal();
  popUp.add(staticText(texts::kSurveyTitle, "surveyPopUpTitle"));
  popUp.add(staticText("Tell us about your experience with Vesmora. It takes less than a minute."));
  popUp.add(Node(Type::button, "surveyPopUpTakeSurveyButton", "Take survey").onTap([this] { model_->dismissSurvey(true); }));
  popUp.add(Node(Type::button, "surveyPopUpDismissButton", "Not now").onTap([this] { model_->dismissSurvey(); }));
  return popUp;
}

Node VesmoraApp::render() {
  Node window(Type::window);
  window.withFrame({0, 0, kScreenWidth, kScreenHeight});
  switch (model_->screen()) {
    case Screen::signIn:
      window.add(signInScreen());
      break;
    case Screen::challenge:
      window.add(challengeScreen());
      break;
    case Screen::landing:
      window.add(landingScreen());
      if (model_->surveyShown()) window.add(surveyPopUp());
      break;
  }
  Node root(Type::application, "", "Vesmora");
  // Swipes anywhere on the overview or an account's transactions page scroll its table.
  root.on([this](const Action& action) {
    if (!views::scrollAccountPage(*model_, action)) views::scrollOverview(*model_, action);
  });
  root.add(window);
  if (model_->alert()) root.add(alertNode(*model_->alert()));
  if (model_->loading()) {
    // The request in progress covers the whole screen.
    Node overlay(Type::other, "loadingOverlay");
    overlay.withFrame({0, 0, kScreenWidth, kScreenHeight}).asModal();
    if (!model_->settings().faults.has(kNoLoadingIndicator))
      overlay.add(Node(Type::activityIndicator, "loadingIndicator", "In progress").withFrame({175, 402, 40, 40}));
    root.add(std::move(overlay));
  }
  return root;
}

void VesmoraApp::perform(const std::vector<const sim::Node*>& path, const sim::Action& action) {
  ++generation_;
  sim::App::perform(path, action);
  noteLoading();
  ++generation_;
}

void VesmoraApp::noteLoading() {
  if (model_->loading() && !loadingDeadline_) {
    loadingDeadline_ = XCTVirtualClock::now() + model_->settings().loadingSeconds;
  }
}

void VesmoraApp::timeAdvanced(double now) {
  if (!loadingDeadline_ || now < *loadingDeadline_) return;
  ++generation_;
  loadingDeadline_.reset();
  model_->finishLoading();
  noteLoading();
}

namespace {
std::unique_ptr<TestBackend>& testBackendSlot() {
  static std::unique_ptr<TestBackend> backend;
  return backend;
}
}  // namespace

TestBackend& installedTestBackend() {
  auto& slot = testBackendSlot();
  if (!slot) slot = std::make_unique<TestBackend>(TestBackend::defaultFixturePath());
  return *slot;
}

void installVesmora(sim::Device& device) {
  TestBackend& backend = installedTestBackend();
  device.install(VesmoraApp::kBundleIdentifier, [&backend](sim::LaunchContext& context) {
    return std::make_unique<VesmoraApp>(context, backend);
  });
  device.setTargetBundleIdentifier(VesmoraApp::kBundleIdentifier);
  device.addTestResetHandler([&backend] { backend.reseed(); });
  // The suite's simulator has answered the app's location prompt before the run; without that,
  // the prompt would cover the sign-in screen of whichever test launches the app first.
  AppStore store(device.storage(VesmoraApp::kBundleIdentifier));
  if (store.locationPermission() == "notDetermined") store.setLocationPermission("authorizedAlways");
}

}  // namespace vesmora
