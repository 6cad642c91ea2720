// A bounded text composer for the crash guard's reports: it writes into a
// buffer fixed in advance and takes no lock and no memory, so the signal
// handler can use it.
#ifndef DIAGNOSTICS_REPORT_TEXT_H
#define DIAGNOSTICS_REPORT_TEXT_H

#include <cstddef>
#include <cstdint>

// Composes text into a fixed buffer like snprintf: what does not fit
// (terminator included) is cut, the buffer always stays terminated, and the
// length the whole text would have had is kept. Async-signal-safe.
class ReportText {
public:
    ReportText(char* buffer, size_t capacity)
        : mpBuffer(buffer), mCapacity(capacity), mLength(0), mWanted(0)
    {
        if (mCapacity > 0) {
            mpBuffer[0] = '\0';
        }
    }

    // A null text is rendered as "(null)", as printf's %s does.
    void Append(const char* text)
    {
        if (text == nullptr) {
            text = "(null)";
        }
        for (; *text != '\0'; ++text) {
            AppendChar(*text);
        }
    }

    void AppendChar(char c, size_t count = 1)
    {
        for (size_t i = 0; i < count; ++i) {
            ++mWanted;
            if (mLength + 1 < mCapacity) {
                mpBuffer[mLength++] = c;
                mpBuffer[mLength] = '\0';
            }
        }
    }

    // printf's %d, or %02d with minDigits 2.
    void AppendDecimal(long value, int minDigits = 1)
    {
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                            : static_cast<unsigned long>(value);
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count < minDigits) {
            digits[count++] = '0';
        }
        if (value < 0) {
            AppendChar('-');
        }
        while (count > 0) {
            AppendChar(digits[--count]);
        }
    }

    // printf's %p as the GNU C library renders it: "0x" and lower-case hex
    // digits, "(nil)" for a null pointer.
    void AppendPointer(const void* pointer)
    {
        uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
        if (value == 0) {
            Append("(nil)");
            return;
        }
        char digits[2 * sizeof value];
        int count = 0;
        while (value != 0) {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        }
        Append("0x");
        while (count > 0) {
            AppendChar(digits[--count]);
        }
    }

    size_t Length() const { return mLength; }
    size_t Wanted() const { return mWanted; }

private:
    char* mpBuffer;
    size_t mCapacity;
    size_t mLength;
    size_t mWanted;
};

#endif
