// Cost of building the served bodies from the server's lists, as every fetch of
// /proxy.pac and /config.json does (nothing is cached). The blocked list holds n rules in a
// realistic mix; the exceptions are the defaults plus the always-allowed hosts.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"

namespace {

using kestralune::RuleLists;

// Mostly plain host rules, some written the way users paste them (scheme, "www.", capitals,
// trailing slash), every tenth a table site or one of its sub-domains (so it is widened),
// every fifth a path rule, and a few repeats.
std::vector<std::string> blockedRules(std::size_t count) {
    const auto table = kestralune::companionDomainTable();
    std::vector<std::string> rules;
    rules.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        if (i % 10 == 0) {
            const std::string site(table[(i / 10) % table.size()].site);
            rules.push_back(i % 20 == 0 ? site : "m." + site);
        } else if (i % 5 == 0) {
            rules.push_back("news" + n + ".example.org/section/" + n);
        } else if (i % 7 == 0) {
            rules.push_back("https://www.Shop" + n + ".Example.com/");
        } else if (i % 13 == 0) {
            rules.push_back("site" + std::to_string(i - 1) + ".test");
        } else {
            rules.push_back("site" + n + ".test");
        }
    }
    return rules;
}

RuleLists listsFor(std::size_t count) {
    RuleLists lists;
    lists.exceptionDomains = kestralune::defaultExceptionDomainList();
    for (const auto name : kestralune::alwaysAllowedDomains()) {
        lists.exceptionDomains.emplace_back(name);
    }
    lists.blockedDomains = blockedRules(count);
    lists.allWebsitesBlocked = false;
    return lists;
}

void BM_PacScript(benchmark::State& state) {
    const RuleLists lists = listsFor(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestralune::pacScript(lists));
    }
    state.SetComplexityN(state.range(0));
}

void BM_ConfigDocument(benchmark::State& state) {
    const RuleLists lists = listsFor(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestralune::configDocument(lists));
    }
    state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_PacScript)
    ->RangeMultiplier(10)
    ->Range(10, 10000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNLogN);
BENCHMARK(BM_ConfigDocument)
    ->RangeMultiplier(10)
    ->Range(10, 10000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNLogN);

}  // namespace

BENCHMARK_MAIN();
