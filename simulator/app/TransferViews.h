// Drawing of the money forms on the Move money tab (transfers between accounts, bill payments,
// e-Transfers): the form, its review and its completion (each with its navigation bar), and what comes over them (the account list, the
// date and frequency pickers, the keyboard's toolbar).
#pragma once

#include "model/VesmoraModel.h"
#include "xcuitest/SimulatedDevice.h"

namespace vesmora::views {

// The screen the views are drawn on: 390 points wide (Overview::kScreenWidth); the forms' content
// lies between the navigation bar and the bottom edge.
inline constexpr double kWidth = 390;
inline constexpr double kContentTop = 100;
inline constexpr double kContentBottom = 761;

// Pieces the money forms' pages share.
namespace parts {
sim::Node text(const std::string& identifier, const std::string& label);
// An "other" element across the screen at `top`.
sim::Node rowAt(const std::string& identifier, double top, double height);
sim::Node navigationBar(const std::string& title);
// A page: its navigation bar and one scroll view holding `content`.
sim::Node scrollingPage(const std::string& identifier, const std::string& title, const std::string& scrollIdentifier,
                        sim::Node content);
}  // namespace parts

// The transfer's current page; the model must have a transfer form.
sim::Node transferPage(VesmoraModel& model);
// The account list, a picker or the keyboard toolbar over the page; an empty container when none
// is shown. Drawn after the tab bar, which the sheets cover.
sim::Node transferOverlay(VesmoraModel& model);

}  // namespace vesmora::views
