// Program execution speed: random arithmetic programs of about 30 nodes (handler-based
// Add, Sub, Mul and protected Div; variables read from the context by name; constants)
// executed over 1,000 contexts. Reports nodes executed per second and the heap
// allocations per program execution (counted by this program's operator new).
#include <evokit/gp/float_variant_programs.h>
#include <evokit/gp/program.h>
#include <evokit/platform/random.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<long long> gAllocations{0};
}  // namespace

// Out of line, so that the compiler does not pair the malloc inside with a delete call site.
[[gnu::noinline]] void* operator new(std::size_t Size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(Size ? Size : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* P) noexcept { std::free(P); }
[[gnu::noinline]] void operator delete(void* P, std::size_t) noexcept { std::free(P); }

namespace {

using namespace evokit;

constexpr int kContexts = 1000;
const char* const kVariables[] = {"x", "y", "z"};

template <class T>
struct TProgramSet {
  using TNodeClass = std::conditional_t<std::is_same_v<T, double>, TMXGPFloatNode, TMXGPVariantNode>;
  using TSet = std::conditional_t<std::is_same_v<T, double>, TMXGPFloatInstructions, TMXGPVariantInstructions>;

  TSet Instructions{nullptr};
  std::unique_ptr<TMXGPNode<T>> Root;
  std::vector<std::unique_ptr<TMXGPContext<T>>> Contexts;

  TProgramSet() {
    auto function = [&](const char* Name, void (*Handler)(TObject*, TMXGPNode<T>*, TMXGPContext<T>*, T&)) {
      auto* f = Instructions.Add();
      f->SetName(Name);
      f->SetArity(2);
      f->SetOnExecute(Handler);
    };
    function("Add", [](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      R = N->GetChild(0)->Execute(C) + N->GetChild(1)->Execute(C);
    });
    function("Sub", [](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      R = N->GetChild(0)->Execute(C) - N->GetChild(1)->Execute(C);
    });
    function("Mul", [](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      R = N->GetChild(0)->Execute(C) * N->GetChild(1)->Execute(C);
    });
    function("Div", [](TObject*, TMXGPNode<T>* N, TMXGPContext<T>* C, T& R) {
      const T a = N->GetChild(0)->Execute(C);
      const T b = N->GetChild(1)->Execute(C);
      R = b == T(0.0) ? T(1.0) : a / b;
    });
    for (const char* name : kVariables) Instructions.Add()->SetName(name);
    auto* c = Instructions.Add();
    c->SetName("c");
    c->SetOperation(gpConstant);

    // A random grown tree of 28 to 32 nodes.
    RandSeed(12345);
    do Root.reset(Grow(nullptr, 6)); while (Root->Size() < 28 || Root->Size() > 32);

    for (int i = 0; i < kContexts; ++i) {
      auto context = std::make_unique<TMXGPContext<T>>();
      for (const char* name : kVariables) context->Values()->Add(name, T(Random() * 10 - 5));
      Contexts.push_back(std::move(context));
    }
  }

  TMXGPNode<T>* Grow(TMXGPNode<T>* Parent, int Depth) {
    const bool leaf = Depth == 0 || (Parent && Random() < 0.35);
    TMXGPInstruction<T>* instruction = leaf ? Instructions.Items(4 + static_cast<int>(Random(4)))
                                            : Instructions.Items(static_cast<int>(Random(4)));
    TMXGPNode<T>* node = Parent ? Parent->CreateNode(instruction, Parent) : new TNodeClass(instruction);
    if (instruction->Name() == "c") node->SetValue(T(static_cast<double>(Random(19)) - 9));
    if (!leaf)
      for (int i = 0; i < 2; ++i) Grow(node, Depth - 1);
    return node;
  }
};

template <class T>
void BM_ExecuteProgram(benchmark::State& state) {
  TProgramSet<T> programs;
  const long long size = programs.Root->Size();
  double checksum = 0;
  long long allocations = 0;
  for (auto _ : state) {
    const long long before = gAllocations.load(std::memory_order_relaxed);
    for (const auto& context : programs.Contexts) {
      T result = programs.Root->Execute(context.get());
      benchmark::DoNotOptimize(result);
      if constexpr (std::is_same_v<T, double>) checksum += result;
    }
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
  }
  benchmark::DoNotOptimize(checksum);
  const double executions = static_cast<double>(state.iterations()) * kContexts;
  state.counters["nodes"] = static_cast<double>(size);
  state.counters["nodes_per_second"] = benchmark::Counter(executions * static_cast<double>(size),
                                                          benchmark::Counter::kIsRate);
  state.counters["allocs_per_exec"] = static_cast<double>(allocations) / executions;
  state.SetItemsProcessed(static_cast<std::int64_t>(executions) * size);
}
BENCHMARK_TEMPLATE(BM_ExecuteProgram, double);
BENCHMARK_TEMPLATE(BM_ExecuteProgram, Variant);

// Variable lookup alone: one variable node per execution.
void BM_VariableLookup(benchmark::State& state) {
  TMXGPFloatInstructions set(nullptr);
  auto* y = set.Add();
  y->SetName("y");
  TMXGPFloatNode node(y);
  TMXGPContext<double> context;
  for (int i = 0; i < 20; ++i) {
    std::string key = "v";
    key += std::to_string(i);
    context.Values()->Add(key, i);
  }
  context.Values()->Add("y", 2);
  for (auto _ : state) benchmark::DoNotOptimize(node.Execute(&context));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VariableLookup);

}  // namespace
