#include "driver/result.h"

namespace vemk {

const char* messageFor(Result r) {
    switch (r) {
    case Result::ok:
        return "";
    case Result::cannotOpenInput:
        return "cannot open file";
    case Result::cannotOpenOutput:
        return "cannot open out file";
    case Result::readFailed:
        return "cannot read file";
    case Result::inputTooLarge:
        return "file too large";
    case Result::outOfMemory:
        return "not enough memory";
    case Result::writeFailed:
        return "cannot write out file";
    case Result::negativeLength:
        return "damaged file: negative length";
    case Result::badTable:
        return "damaged file: bad frequency table";
    case Result::targetOutsideTable:
        return "damaged file: bad coded stream";
    case Result::streamCutShort:
        return "damaged file: coded stream cut short";
    case Result::destinationTooSmall:
        return "output buffer too small";
    case Result::badStreamEnd:
        return "damaged file: bad coded stream";
    }
    return "";
}

} // namespace vemk
