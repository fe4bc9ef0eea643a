// The device's kind of biometry.
#pragma once

enum class BiometricType { none, touch, face };
