// Descriptors of every message: the slot lists of the headers bound to nanopb's generated field
// tables and structs.
#include "proto/NANOMessages.h"

#include <iterator>

#include "cdvpb.pb.h"
#include "lmtpb.pb.h"
#include "tlmpb.pb.h"

namespace {
template <class T>
std::shared_ptr<NANOMessageBase> nanoMakeWrapper(const NANOMessageInfo* record) {
  return T::initWithMessageInfo(record);
}
}  // namespace

#define NANO_SLOT_ENTRY(field, tag, type, sub) {#field, tag, type, sub},
#define NANO_TYPE_ENTRY(field, tag, type, sub) type,
#define NANO_DEFINE_ONE(Class, prefix, stem, SLOTS, Name)                                  \
  namespace {                                                                              \
  const NANOSlot k##Class##Slots[] = {SLOTS(NANO_SLOT_ENTRY)};                             \
  const int32_t k##Class##Types[] = {SLOTS(NANO_TYPE_ENTRY)};                              \
  }                                                                                        \
  const NANOMessageDescriptor k##Class##Descriptor = {                                     \
      #Name,                                                                               \
      #Class,                                                                              \
      k##Class##Slots,                                                                     \
      static_cast<int32_t>(std::size(k##Class##Slots)),                                    \
      k##Class##Types,                                                                     \
      &prefix##_##Name##_msg,                                                              \
      sizeof(prefix##_##Name),                                                             \
      &nanoMakeWrapper<Class>,                                                             \
  };

TLMPB_MESSAGES(NANO_DEFINE_ONE)
LMTPB_MESSAGES(NANO_DEFINE_ONE)
CDVPB_MESSAGES(NANO_DEFINE_ONE)

#define NANO_LIST_ONE(Class, prefix, stem, SLOTS, Name) &k##Class##Descriptor,

std::span<const NANOMessageDescriptor* const> nanoAllMessageDescriptors() {
  static const NANOMessageDescriptor* const all[] = {
      TLMPB_MESSAGES(NANO_LIST_ONE) LMTPB_MESSAGES(NANO_LIST_ONE) CDVPB_MESSAGES(NANO_LIST_ONE)};
  return all;
}
