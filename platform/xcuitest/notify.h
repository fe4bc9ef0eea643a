// Simulator notifications (the notify_* calls), delivered to the simulated device: observers an
// app registered with `sim::Device::addNotificationObserver` run synchronously inside
// `notify_post`. Each name carries a 64-bit state, set through a token from `notify_register_check`.
//
// The device itself follows "com.apple.BiometricKit.enrollmentChanged": posting it sets biometric
// enrolment to (state != 0).
#pragma once

#include <cstdint>

inline constexpr std::uint32_t NOTIFY_STATUS_OK = 0;
inline constexpr std::uint32_t NOTIFY_STATUS_INVALID_NAME = 1;
inline constexpr std::uint32_t NOTIFY_STATUS_INVALID_TOKEN = 2;

std::uint32_t notify_post(const char* name);
// Registers `name` and writes a token for it to `outToken`.
std::uint32_t notify_register_check(const char* name, int* outToken);
std::uint32_t notify_set_state(int token, std::uint64_t state);
std::uint32_t notify_get_state(int token, std::uint64_t* outState);
std::uint32_t notify_cancel(int token);
