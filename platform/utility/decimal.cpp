#include "utility/decimal.h"

bool ParseDecimal(const std::string& text, unsigned long low, unsigned long high, unsigned long& value)
{
    const size_t maxDigits = std::to_string(high).size();
    if (text.empty() || text.size() > maxDigits)
        return false;
    unsigned long long parsed = 0;   // maxDigits digits fit even where long has 32 bits
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        parsed = parsed * 10 + static_cast<unsigned long long>(c - '0');
    }
    if (parsed < low || parsed > high)
        return false;
    value = static_cast<unsigned long>(parsed);
    return true;
}
