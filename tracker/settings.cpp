// The deployment's settings of one quorvane, judged before anything is opened.
#include "tracker.h"

#include <cstdint>

// A whole number from 1 to max, digits only.
static bool read_count(const char* text, std::int64_t max, std::int64_t* value)
{
    std::int64_t count = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || count > max)
            return false;
        count = count * 10 + (*digit - '0');
    }
    *value = count;
    return *text != '\0' && count >= 1 && count <= max;
}

static bool is_set(const char* value)
{
    return value != nullptr && *value != '\0';
}

static int refuse(std::string* error, const char* variable, const std::string& expected, const char* value)
{
    *error = std::string("quorvane: ") + variable + " must be " + expected + ", not \"" + value + "\"";
    return -1;
}

int read_tracker_settings(const char* workers, const char* reply_rate, const char* reply_burst,
                          tracker_settings* settings, std::string* error)
{
    *settings = tracker_settings{};
    std::int64_t value = 0;
    if (is_set(workers)) {
        if (!read_count(workers, max_workers, &value))
            return refuse(error, workers_variable, "a number of workers from 1 to " + std::to_string(max_workers),
                          workers);
        settings->workers = static_cast<int>(value);
    }
    if (is_set(reply_rate)) {
        if (std::string(reply_rate) == "off")
            settings->budget.rate = 0;
        else if (read_count(reply_rate, max_reply_rate, &value))
            settings->budget.rate = value;
        else
            return refuse(error, reply_rate_variable,
                          "a number of bytes a second from 1 to " + std::to_string(max_reply_rate) + ", or off",
                          reply_rate);
    }
    if (is_set(reply_burst)) {
        if (!read_count(reply_burst, max_reply_burst, &value))
            return refuse(error, reply_burst_variable, "a number of bytes from 1 to " + std::to_string(max_reply_burst),
                          reply_burst);
        settings->budget.burst = value;
    }
    return 0;
}
