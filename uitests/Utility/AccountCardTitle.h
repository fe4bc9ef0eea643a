// The title by which the overview shows an account: the nickname when the entry has one that is
// not the empty text, otherwise the name, then " (", the number and ")".
#pragma once

#include <string>

#include "Utility/CommonFunctions.h"

inline std::string accountCardTitle(const TestDataRow& entry, bool readNickname = true) {
  std::string name = entry.string("name");
  std::string nickname;
  if (readNickname && entry.contains("nickname")) nickname = entry.string("nickname");
  std::string number = entry.string("number");
  return (nickname.empty() ? name : nickname) + " (" + number + ")";
}
