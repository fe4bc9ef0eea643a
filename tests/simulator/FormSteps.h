// Steps the model's tests share: an amount from its text, and a date picked on a form.
#pragma once

#include <string>

#include "foundation/Decimal.h"
#include "model/TransferForm.h"

namespace testsupport {

inline platform::Decimal dec(const char* text) { return *platform::Decimal::parse(text); }

// Turns the open date picker's wheels and taps its Done.
inline void pick(vesmora::TransferForm& form, vesmora::TransferForm::DateField field, const std::string& month,
                 const std::string& day, const std::string& year) {
  form.openDatePicker(field);
  form.turnWheel(0, month);
  form.turnWheel(1, day);
  form.turnWheel(2, year);
  form.pickerDone();
}

}  // namespace testsupport
