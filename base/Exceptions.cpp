#include "base/Exceptions.h"

int StrToInt(const std::string& text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    if (i == text.size())
        throw EConvertError("'" + text + "' is not a valid integer value");
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            throw EConvertError("'" + text + "' is not a valid integer value");
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL)
            throw EConvertError("'" + text + "' is not a valid integer value");
    }
    value = negative ? -value : value;
    if (value > 2147483647LL)
        throw EConvertError("'" + text + "' is not a valid integer value");
    return static_cast<int>(value);
}
