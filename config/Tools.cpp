#include "Tools.h"

#include "base/Log.h"
#include "base/Text.h"

namespace zel {

std::atomic<int64_t> PollPeriod{DefaultPollPeriod};

void SetPollPeriod(int64_t period) {
    if (period == 0) period = DefaultPollPeriod;
    if (period > 0) period = -period;
    if (period == PollPeriod.load()) return;
    WriteLogFmt("Изменился период опроса сервера ЗЕЛ: %s", {FormatDuration(period)}, LogDebug);
    PollPeriod.store(period);
}

std::string FormatDuration(int64_t period) {
    static const struct {
        int64_t divisor;
        const char* unit;
    } steps[] = {{-36000000000LL, "час"}, {-600000000LL, "мин"}, {-10000000LL, "cек"}};
    std::string result;
    for (const auto& step : steps) {
        int64_t count = period / step.divisor;
        if (count > 0) {
            if (!result.empty()) result += ' ';
            result += Format("%d %s", {count, step.unit});
        }
        period -= count * step.divisor;
    }
    return result;
}

}  // namespace zel
