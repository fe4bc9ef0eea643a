// Every message of the SDK, and the list of their descriptors (for checks and tools).
#pragma once

#include <span>

#include "proto/CDVPBMessages.h"
#include "proto/LMTPBMessages.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

// The descriptors of all 24 messages: 18 measurement, 4 log-upload, 2 diagnostics.
std::span<const NANOMessageDescriptor* const> nanoAllMessageDescriptors();
