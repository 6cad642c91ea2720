// Decimal numbers in protocol and configuration text (ports, Expires values).
#ifndef PLATFORM_DECIMAL_H
#define PLATFORM_DECIMAL_H

#include <string>

// text as a decimal number in [low, high]: digits only, none missing and no
// more of them than high has (so leading zeros cannot hide an overflow).
// value is left alone when false.
bool ParseDecimal(const std::string& text, unsigned long low, unsigned long high, unsigned long& value);

#endif
