// Benchmarks of the daemon's own work in a running cycle: the endpoint text
// split, the spool listing and the reader over N spool files, the registry
// request writer for N endpoints, and whole running cycles over N endpoints
// in three shapes (nothing changed, everything new, 5% changed).
//
// The device is the real one but for the shell, which runs nothing and
// answers the probes at once, and the spool, a temporary directory on tmpfs;
// logging prints nothing. So only the daemon's own work is timed.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "cycle/RegistryRequestState.h"
#include "cycle/ServiceCycle.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "intake/Spool.h"
#include "model/Reconciliation.h"
#include "model/ServiceModel.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

namespace {

constexpr int ENDPOINTS_PER_FILE = 10;
// Every CHANGE_STRIDE-th endpoint differs between the two variants of a spool.
constexpr int CHANGE_STRIDE = 20;

// Answers the zone address probes and the upload at once, runs nothing and
// counts the commands run for their effect (the NAT rule changes).
class BenchEnv : public bench::SpoolEnv {
 public:
  std::string runCommand(const std::string& command) override {
    if (command.find("ifconfig " + untrusted_zone + " ") != std::string::npos) return "10.0.0.1\n";
    if (command.find("ifconfig " + trusted_zone + " ") != std::string::npos) return "192.168.2.1\n";
    if (command.compare(0, 5, "curl ") == 0) return "200\n";
    return "";
  }
  int runForStatus(const std::string&) override {
    ++executed;
    return 0;
  }
  long executed = 0;
};

BenchEnv env;
const ScopedEnv scoped_env(env);

// Endpoint `index` of a spool: distinct address per file, distinct id and
// port within it. The changed variant moves every CHANGE_STRIDE-th endpoint
// to another port.
std::string endpointText(int index, bool changed) {
  const int file = index / ENDPOINTS_PER_FILE;
  const int slot = index % ENDPOINTS_PER_FILE;
  const int port = 4840 + slot + (changed && index % CHANGE_STRIDE == 0 ? 10000 : 0);
  return "opcua:TCP:" + std::to_string(slot + 1) + ":10.20." + std::to_string(file / 250) + "." +
         std::to_string(file % 250 + 1) + ":" + std::to_string(port) + "/ua/line" + std::to_string(slot);
}

// A spool of `endpoints` endpoints in files of ENDPOINTS_PER_FILE, one
// component service per file; made once per size and variant and kept until
// the program ends.
class SpoolFixture {
 public:
  static const SpoolFixture& get(int endpoints, bool changed) {
    static std::map<std::pair<int, bool>, std::unique_ptr<SpoolFixture>> made;
    std::unique_ptr<SpoolFixture>& fixture = made[{endpoints, changed}];
    if (!fixture) fixture.reset(new SpoolFixture(endpoints, changed));
    return *fixture;
  }
  const std::string& dir() const { return dir_.path(); }
  int files() const { return files_; }

 private:
  SpoolFixture(int endpoints, bool changed) : dir_("bench-spool") {
    for (int first = 0; first < endpoints; first += ENDPOINTS_PER_FILE, ++files_) {
      std::vector<std::string> texts;
      for (int index = first; index < endpoints && index < first + ENDPOINTS_PER_FILE; ++index)
        texts.push_back(endpointText(index, changed));
      const std::string component = "Plant7/Drive" + std::to_string(files_);
      bench::writeFile(dir() + "Drive" + std::to_string(files_) + "_opcua.xml",
                       bench::componentServiceFile(component, "opcua", texts));
    }
  }
  bench::TempDir dir_;
  int files_ = 0;
};

// Starts every benchmark from the same process-wide state.
void resetGlobals(const std::string& spool) {
  env.spool = spool;
  resetRegistryRequestState();
}

// Endpoints published of a spool of `endpoints`: the first ones, up to the
// limit, besides the gateway's own.
long publishedEndpoints(int endpoints) { return std::min<long>(endpoints, MAX_PUBLISHED_ENDPOINTS); }
// Published endpoints on a moved port: after a cycle over the changed
// variant, the changed ones among those published.
long movedEndpoints(const MachineComponentServices& published) {
  long moved = 0;
  for (const Component& component : published.ComponentList)
    for (const Service& service : component.ServiceList)
      for (const ServiceEndpoint& endpoint : service.EndpointList)
        moved += std::stoi(endpoint.EndpointPORT) >= 14840;
  return moved;
}

// ---- the pieces ----

void parseEndpoint(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    ServiceEndpoint endpoint = parseEndpointText(text, "false");
    benchmark::DoNotOptimize(endpoint);
  }
}

void spoolCleanup(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)) * ENDPOINTS_PER_FILE, false);
  resetGlobals(spool.dir());
  MachineComponentServices incoming;
  for (auto _ : state) cleanupServiceFiles(incoming);
  if (static_cast<int>(incoming.ServiceFileNames.size()) != spool.files())
    state.SkipWithError("cleanup did not list every spool file");
}

void reader(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)) * ENDPOINTS_PER_FILE, false);
  resetGlobals(spool.dir());
  MachineComponentServices incoming;
  cleanupServiceFiles(incoming);
  for (auto _ : state) xml::readComponentServiceFiles(incoming);
  if (static_cast<int>(incoming.ComponentList.size()) != spool.files())
    state.SkipWithError("reader did not read every spool file");
}

void writer(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& spool = SpoolFixture::get(endpoints, false);
  resetGlobals(spool.dir());
  MachineComponentServices incoming;
  MachineComponentServices published;
  runServiceCycle(incoming, published, true);
  for (auto _ : state) xml::writeRegistryServiceFile(published);
}

// ---- whole cycles ----

// Shell commands run for their effect per cycle: one NAT rule change each.
void countRules(benchmark::State& state, long before) {
  state.counters["rules"] =
      benchmark::Counter(static_cast<double>(env.executed - before), benchmark::Counter::kAvgIterations);
}

// The spool and the published model agree: no cycle changes anything.
void cycleUnchanged(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)), false);
  resetGlobals(spool.dir());
  MachineComponentServices incoming;
  MachineComponentServices published;
  runServiceCycle(incoming, published, true);
  const long before = env.executed;
  for (auto _ : state) runServiceCycle(incoming, published, true);
  if (env.executed != before) state.SkipWithError("an unchanged cycle changed NAT rules");
  countRules(state, before);
}

// Nothing is published yet: every endpoint gets a port and a rule, and the
// whole model is written and sent.
void cycleAllNew(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& spool = SpoolFixture::get(endpoints, false);
  resetGlobals(spool.dir());
  MachineComponentServices incoming;
  MachineComponentServices published;
  const long before = env.executed;
  for (auto _ : state) {
    state.PauseTiming();
    published = MachineComponentServices();
    state.ResumeTiming();
    runServiceCycle(incoming, published, true);
  }
  countRules(state, before);
  if (env.executed - before != static_cast<long>(state.iterations()) * (publishedEndpoints(endpoints) + 1))
    state.SkipWithError("not every endpoint was added");
}

// The spool alternates between two variants that differ in every 20th
// endpoint: each cycle withdraws 5% of the published endpoints, publishes
// them anew and writes and sends the whole model.
void cycleChanged(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& base = SpoolFixture::get(endpoints, false);
  const SpoolFixture& changed = SpoolFixture::get(endpoints, true);
  resetGlobals(base.dir());
  MachineComponentServices incoming;
  MachineComponentServices published;
  runServiceCycle(incoming, published, true);
  env.spool = changed.dir();
  runServiceCycle(incoming, published, true);
  const long changes = 2 * movedEndpoints(published);
  const long before = env.executed;
  bool use_changed = false;
  for (auto _ : state) {
    env.spool = use_changed ? changed.dir() : base.dir();
    runServiceCycle(incoming, published, true);
    use_changed = !use_changed;
  }
  countRules(state, before);
  if (env.executed - before != static_cast<long>(state.iterations()) * changes || changes == 0)
    state.SkipWithError("a cycle did not change exactly the changed endpoints");
}

// Every benchmark runs five times; the median is reported.
benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b, benchmark::TimeUnit unit) {
  return b->Unit(unit)->MinTime(0.1)->Repetitions(5)->ReportAggregatesOnly(true);
}

void registerAll() {
  const std::vector<std::pair<const char*, const char*>> texts = {
      {"plain", "opcua:TCP:1:192.168.10.20:4840"},
      {"path-suffix", "gwiotsvc:TCP:1:192.168.2.1:9080/chkcompconnstatus/"},
      {"bracket-suffix", "http:TCP:2:192.168.10.20:8080[/api/v1/status]"},
  };
  for (const auto& text : texts)
    repeated(benchmark::RegisterBenchmark((std::string("parseEndpointText/") + text.first).c_str(),
                                          parseEndpoint, std::string(text.second)),
             benchmark::kNanosecond)
        ->Arg(1);

  auto sized = [](benchmark::internal::Benchmark* b, const std::vector<int64_t>& sizes) {
    for (int64_t size : sizes) b->Arg(size);
    repeated(b, benchmark::kMicrosecond);
  };
  const std::vector<int64_t> files = {10, 100, 1000};
  const std::vector<int64_t> endpoints = {10, 100, 1000, 10000};
  sized(benchmark::RegisterBenchmark("spoolCleanup/files", spoolCleanup), files);
  sized(benchmark::RegisterBenchmark("reader/files", reader), files);
  sized(benchmark::RegisterBenchmark("writer/endpoints", writer), endpoints);
  sized(benchmark::RegisterBenchmark("cycle/unchanged", cycleUnchanged), endpoints);
  sized(benchmark::RegisterBenchmark("cycle/all-new", cycleAllNew), endpoints);
  sized(benchmark::RegisterBenchmark("cycle/5pct-changed", cycleChanged), endpoints);
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  // Repetitions of different benchmarks run interleaved in random order, so
  // that a change of the machine's load spreads over all of them instead of
  // skewing one against another. A later argument may turn it off.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
