// What the money forms' actions address: an account picker, a date field, a recurring ending.
#pragma once

// Which account picker of a money form an action addresses.
enum class ToFrom { to, from };
// Which date field of a money form is set.
enum class DateType { transferDate, startDate, endDate, paymentDate };
// How a recurring transfer or payment ends.
enum class EndingType { never, endDate, numberOf };
