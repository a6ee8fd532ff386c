/* faults.cpp - injected failures and call counts. */
#include "internal.h"

#include <map>

namespace standin {

namespace {
struct Fault {
    std::string api;
    DWORD code;
    std::string match;
    int nth;
    int count;
    int seen = 0;
};
std::mutex faultMutex;
std::vector<Fault> faults;
std::map<std::string, int> callCounts; /* by lower-cased api name */
} // namespace

void fail(const std::string &api, DWORD code, const std::string &match, int nth, int count)
{
    std::lock_guard<std::mutex> g(faultMutex);
    faults.push_back(Fault{api, code, match, nth < 1 ? 1 : nth, count < 0 ? 0 : count});
}

int calls(const std::string &api)
{
    std::lock_guard<std::mutex> g(faultMutex);
    auto it = callCounts.find(detail::lower(api));
    return it == callCounts.end() ? 0 : it->second;
}

namespace detail {

bool faultHits(const char *api, const std::string &subject, DWORD *code)
{
    std::lock_guard<std::mutex> g(faultMutex);
    callCounts[lower(api)]++;
    bool hit = false;
    for (auto &f : faults) {
        if (!iequals(f.api, api) || !icontains(subject, f.match))
            continue;
        f.seen++;
        if (!hit && f.seen >= f.nth && (f.count == 0 || f.seen < f.nth + f.count)) {
            hit = true;
            *code = f.code;
        }
    }
    return hit;
}

void resetFaults()
{
    std::lock_guard<std::mutex> g(faultMutex);
    faults.clear();
    callCounts.clear();
}

} // namespace detail
} // namespace standin
