// Benchmarks of the daemon's own work in a running cycle: the endpoint text
// split, the spool listing and the reader over N spool files, the registry
// request writer for N endpoints, and whole running cycles over N endpoints
// in three shapes (nothing changed, everything new, 5% changed).
//
// Shell commands go to a runner that does nothing and answers the probes at
// once, and logging prints nothing, so only the daemon's own work is timed.
// The spool lies in a temporary directory on tmpfs.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "intake/Spool.h"
#include "env/Globals.h"
#include "model/Reconciliation.h"
#include "model/ServiceModel.h"
#include "system/IdentityProbes.h"
#include "system/NatForwarding.h"
#include "system/RegistryUpload.h"
#include "system/Shell.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

namespace {

constexpr int ENDPOINTS_PER_FILE = 10;
// Every CHANGE_STRIDE-th endpoint differs between the two variants of a spool.
constexpr int CHANGE_STRIDE = 20;

// Answers the zone address probes and the upload at once, runs nothing and
// counts the commands run for their effect (the NAT rule changes).
class NoOpShell : public ShellRunner {
 public:
  std::string capture(const std::string& command) override {
    if (command.find("ifconfig " + untrusted_zone + " ") != std::string::npos) return "10.0.0.1\n";
    if (command.find("ifconfig " + trusted_zone + " ") != std::string::npos) return "192.168.2.1\n";
    if (command.compare(0, 5, "curl ") == 0) return "200\n";
    return "";
  }
  int execute(const std::string&) override {
    ++executed;
    return 0;
  }
  long executed = 0;
};

NoOpShell shell;

// One running cycle while the status is Running, step for step as
// MachineGatewayManager::doRunning runs it, through the same functions.
void runningCycle(MachineComponentServices& incoming, MachineComponentServices& published) {
  cleanupServiceFiles(incoming);
  readZoneIPAddresses(incoming);
  if (incoming.MgTrustedZoneIPAddress.empty() || incoming.MgUntrustedZoneIPAddress.empty()) return;
  xml::readComponentServiceFiles(incoming);
  if (incoming.ComponentIDPrefix.empty()) return;
  addDefaultService(incoming);

  NatPortForwarding forwarding;
  assignZoneAddresses(incoming);
  copyGatewayIdentity(published, incoming);
  matchEndpoints(incoming, published, forwarding);
  pruneStaleServices(published, forwarding);
  addNewServices(incoming, published, forwarding);

  if (new_registry_service_file) {
    xml::writeRegistryServiceFile(published);
    registryRequestRewritten();
  }
  if (registry_service_file_send_request && registryUploadDue()) sendRegistryServiceFile(published);
}

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
void resetGlobals() {
  setShellRunner(&shell);
  new_registry_service_file = false;
  registry_service_file_send_request = false;
  registryRequestRewritten();
}

int changedEndpoints(int endpoints) { return (endpoints + CHANGE_STRIDE - 1) / CHANGE_STRIDE; }

// ---- the pieces ----

void parseEndpoint(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    ServiceEndpoint endpoint = parseEndpointText(text, "false");
    benchmark::DoNotOptimize(endpoint);
  }
}

void spoolCleanup(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)) * ENDPOINTS_PER_FILE, false);
  setSpoolDirectoryForTesting(spool.dir());
  resetGlobals();
  MachineComponentServices incoming;
  for (auto _ : state) cleanupServiceFiles(incoming);
  if (static_cast<int>(incoming.ServiceFileNames.size()) != spool.files())
    state.SkipWithError("cleanup did not list every spool file");
  setSpoolDirectoryForTesting("");
}

void reader(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)) * ENDPOINTS_PER_FILE, false);
  setSpoolDirectoryForTesting(spool.dir());
  resetGlobals();
  MachineComponentServices incoming;
  cleanupServiceFiles(incoming);
  for (auto _ : state) xml::readComponentServiceFiles(incoming);
  if (static_cast<int>(incoming.ComponentList.size()) != spool.files())
    state.SkipWithError("reader did not read every spool file");
  setSpoolDirectoryForTesting("");
}

void writer(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& spool = SpoolFixture::get(endpoints, false);
  setSpoolDirectoryForTesting(spool.dir());
  resetGlobals();
  MachineComponentServices incoming;
  MachineComponentServices published;
  runningCycle(incoming, published);
  for (auto _ : state) xml::writeRegistryServiceFile(published);
  setSpoolDirectoryForTesting("");
}

// ---- whole cycles ----

// Shell commands run for their effect per cycle: one NAT rule change each.
void countRules(benchmark::State& state, long before) {
  state.counters["rules"] =
      benchmark::Counter(static_cast<double>(shell.executed - before), benchmark::Counter::kAvgIterations);
}

// The spool and the published model agree: no cycle changes anything.
void cycleUnchanged(benchmark::State& state) {
  const SpoolFixture& spool = SpoolFixture::get(static_cast<int>(state.range(0)), false);
  setSpoolDirectoryForTesting(spool.dir());
  resetGlobals();
  MachineComponentServices incoming;
  MachineComponentServices published;
  runningCycle(incoming, published);
  const long before = shell.executed;
  for (auto _ : state) runningCycle(incoming, published);
  if (shell.executed != before) state.SkipWithError("an unchanged cycle changed NAT rules");
  countRules(state, before);
  setSpoolDirectoryForTesting("");
}

// Nothing is published yet: every endpoint gets a port and a rule, and the
// whole model is written and sent.
void cycleAllNew(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& spool = SpoolFixture::get(endpoints, false);
  setSpoolDirectoryForTesting(spool.dir());
  resetGlobals();
  MachineComponentServices incoming;
  MachineComponentServices published;
  const long before = shell.executed;
  for (auto _ : state) {
    state.PauseTiming();
    published = MachineComponentServices();
    state.ResumeTiming();
    runningCycle(incoming, published);
  }
  countRules(state, before);
  if (shell.executed - before != static_cast<long>(state.iterations()) * (endpoints + 1))
    state.SkipWithError("not every endpoint was added");
  setSpoolDirectoryForTesting("");
}

// The spool alternates between two variants that differ in every 20th
// endpoint: each cycle withdraws 5% of the endpoints, publishes 5% anew and
// writes and sends the whole model.
void cycleChanged(benchmark::State& state) {
  const int endpoints = static_cast<int>(state.range(0));
  const SpoolFixture& base = SpoolFixture::get(endpoints, false);
  const SpoolFixture& changed = SpoolFixture::get(endpoints, true);
  setSpoolDirectoryForTesting(base.dir());
  resetGlobals();
  MachineComponentServices incoming;
  MachineComponentServices published;
  runningCycle(incoming, published);
  const long before = shell.executed;
  bool use_changed = true;
  for (auto _ : state) {
    setSpoolDirectoryForTesting(use_changed ? changed.dir() : base.dir());
    runningCycle(incoming, published);
    use_changed = !use_changed;
  }
  countRules(state, before);
  if (shell.executed - before != static_cast<long>(state.iterations()) * 2 * changedEndpoints(endpoints))
    state.SkipWithError("a cycle did not change exactly the changed endpoints");
  setSpoolDirectoryForTesting("");
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
  setShellRunner(nullptr);
  return 0;
}
