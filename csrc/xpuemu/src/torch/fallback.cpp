// The boxed fallback: every op without an XPU kernel runs PyTorch's CPU kernel over the same
// memory.
#include <string>
#include <vector>

#include "device_impl.hpp"

namespace xpuemu::device_impl {

namespace {

// One run of an op's CPU kernel on host views of its device arguments.
//
// Arguments are views of device memory (no copy), so in-place and out= kernels write the device
// memory directly, with the CPU's aliasing rules. Sizes a kernel gives to a written argument are
// given to the device tensor; storages the kernel grew are moved back to device memory. Results
// that alias an argument's memory (views such as unfold) become device tensors over the same
// device storage; other results are copied into new device tensors. With `widen`, half tensors go
// in as float copies (written ones are copied back), a half dtype argument asks for float, and
// float results come back rounded once to half unless a float tensor of one or more dimensions
// was among the arguments; element i of a returned list is rounded when element i of every
// tensor list argument was half (or not floating), as ops over lists pair them up.
class cpu_run {
 public:
  explicit cpu_run(bool widen) : widen_(widen) {}

  c10::IValue argument(const c10::IValue& v, const c10::TypePtr& type, bool written) {
    if (v.isTensor()) {
      if (v.toTensor().scalar_type() == at::kFloat && v.toTensor().dim() > 0) saw_float_ = true;
      return tensor_argument(v.toTensor(), written);
    }
    if (v.isTensorList()) {
      const c10::List<at::Tensor> list = v.toTensorList();
      if (!listed_) half_at_.assign(list.size(), true);
      listed_ = true;
      c10::List<at::Tensor> out;
      out.reserve(list.size());
      for (size_t i = 0; i < list.size(); ++i) {
        const at::Tensor t = list.get(i);
        const bool half =
            !t.defined() || t.scalar_type() == at::kHalf || !at::isFloatingType(t.scalar_type());
        if (i < half_at_.size()) half_at_[i] = half_at_[i] && half;
        if (!half) listed_float_ = true;
        out.push_back(tensor_argument(t, written));
      }
      return out;
    }
    if (widen_ && v.isInt() && is_dtype(type) && v.toInt() == static_cast<int64_t>(at::kHalf))
      return static_cast<int64_t>(at::kFloat);
    if (v.isList()) {  // e.g. Tensor?[]
      const c10::List<c10::IValue> list = v.toList();
      c10::impl::GenericList out(list.elementType());
      out.reserve(list.size());
      for (const c10::IValue& e : list) out.push_back(argument(e, nullptr, written));
      return out;
    }
    if (v.isDevice() && v.toDevice().type() == kXPU) return c10::Device(c10::kCPU);
    return v;
  }

  // Brings the written arguments' memory and sizes back to the device tensors.
  void write_back() {
    views_.adopt_moved_storages();
    for (const auto& [dev, host] : written_) {
      if (views_.views_storage_of(host, dev)) {
        if (dev.sizes() != host.sizes() || dev.strides() != host.strides() ||
            dev.storage_offset() != host.storage_offset())
          dev.unsafeGetTensorImpl()->set_sizes_and_strides(host.sizes(), host.strides(),
                                                           host.storage_offset());
        continue;
      }
      // A widened copy, or a tensor the kernel pointed at other memory.
      if (dev.sizes() != host.sizes()) resize_device(dev, host.sizes(), c10::nullopt);
      host_views()(dev).copy_(host);
    }
  }

  c10::IValue result(const c10::IValue& v) {
    if (v.isTensor()) return result_tensor(v.toTensor(), !saw_float_ && !listed_float_);
    if (v.isTensorList()) {
      const c10::List<at::Tensor> list = v.toTensorList();
      const bool paired = list.size() == half_at_.size();
      c10::List<at::Tensor> out;
      out.reserve(list.size());
      for (size_t i = 0; i < list.size(); ++i)
        out.push_back(
            result_tensor(list.get(i), !saw_float_ && (paired ? half_at_[i] : !listed_float_)));
      return out;
    }
    return v;
  }

 private:
  // ScalarType or ScalarType? (a dtype argument).
  static bool is_dtype(const c10::TypePtr& type) {
    if (!type) return false;
    if (type->kind() == c10::TypeKind::OptionalType)
      return is_dtype(type->expectRef<c10::OptionalType>().getElementType());
    return type->kind() == c10::TypeKind::ScalarTypeType;
  }

  at::Tensor tensor_argument(const at::Tensor& t, bool written) {
    if (!t.defined()) return t;
    const bool widen = widen_ && t.scalar_type() == at::kHalf;
    if (!on_device(t)) return widen && !written ? t.to(at::kFloat) : t;
    at::Tensor host = widen ? views_(t).to(at::kFloat) : views_(t);
    if (written) written_.emplace_back(t, host);
    return host;
  }

  // `round`: a float result computed from widened half is rounded back to half.
  at::Tensor result_tensor(at::Tensor t, bool round) {
    if (!t.defined()) return t;
    for (const auto& [dev, host] : written_)
      if (host.unsafeGetTensorImpl() == t.unsafeGetTensorImpl()) return dev;
    if (t.device().type() != c10::kCPU) return t;
    if (const c10::Storage* dev = views_.device_storage_of(t.storage().unsafeGetStorageImpl()))
      return tensor_over(*dev, c10::DispatchKey::XPU, t);
    if (widen_ && round && t.scalar_type() == at::kFloat) t = t.to(at::kHalf);
    at::Tensor out = empty_device_like(t, t.scalar_type());
    host_views()(out).copy_(t);
    return out;
  }

  bool widen_;
  bool saw_float_ = false;     // a float tensor of one or more dimensions (0-dim: no promotion)
  bool listed_ = false;        // a tensor list was among the arguments
  bool listed_float_ = false;  // a floating tensor other than half in a tensor list
  std::vector<bool> half_at_;  // per list position: every list's element half or not floating
  host_views views_;
  std::vector<std::pair<at::Tensor, at::Tensor>> written_;  // device tensor, its CPU view
};

// Tensor lists that hold half beside other floating types: ops over lists work element by
// element, so on the CPU they may write the elements before the first half one and then fail on
// it; such ops run widened from the start rather than being retried.
bool lists_mix_half(const std::vector<c10::IValue>& args) {
  bool half = false;
  bool other = false;
  for (const c10::IValue& v : args)
    if (v.isTensorList())
      for (const at::Tensor& t : v.toTensorList()) {
        if (!t.defined()) continue;
        half |= t.scalar_type() == at::kHalf;
        other |= t.scalar_type() != at::kHalf && at::isFloatingType(t.scalar_type());
      }
  return half && other;
}

bool has_half_device_tensor(const std::vector<c10::IValue>& args) {
  auto half = [](const at::Tensor& t) { return on_device(t) && t.scalar_type() == at::kHalf; };
  for (const c10::IValue& v : args) {
    if (v.isTensor() && half(v.toTensor())) return true;
    if (v.isTensorList())
      for (const at::Tensor& t : v.toTensorList())
        if (half(t)) return true;
  }
  return false;
}

// Like a GPU backend, refuses CPU tensors among device tensors, except zero-dimensional ones
// (scalars) and index lists.
void check_same_device(const c10::OperatorHandle& op, const std::vector<c10::IValue>& args) {
  bool device = false;
  bool host = false;
  auto note = [&](const at::Tensor& t) {
    if (!t.defined()) return;
    device |= on_device(t);
    host |= t.device().type() == c10::kCPU && t.dim() > 0;
  };
  for (const c10::IValue& v : args) {
    if (v.isTensor()) note(v.toTensor());
    if (v.isTensorList())
      for (const at::Tensor& t : v.toTensorList()) note(t);
    if (v.isList())  // indices (Tensor?[]): on the CPU they may index device tensors, not the
                     // reverse
      for (const c10::IValue& e : v.toList())
        if (e.isTensor()) device |= on_device(e.toTensor());
  }
  TORCH_CHECK(!(device && host), op.schema().name(),
              ": Expected all tensors to be on the same device, but found at least two devices, "
              "xpu:0 and cpu!");
}

void run_on_cpu(const c10::OperatorHandle& op, const std::vector<c10::IValue>& args,
                torch::jit::Stack* stack, bool widen) {
  const auto& schema = op.schema();
  cpu_run run(widen);
  for (size_t i = 0; i < args.size(); ++i) {
    const auto* alias = schema.arguments()[i].alias_info();
    stack->push_back(
        run.argument(args[i], schema.arguments()[i].real_type(), alias && alias->isWrite()));
  }
  op.redispatchBoxed(c10::DispatchKeySet(c10::DispatchKey::CPU), stack);
  run.write_back();
  const size_t returns = schema.returns().size();
  for (auto it = stack->end() - static_cast<std::ptrdiff_t>(returns); it != stack->end(); ++it)
    *it = run.result(*it);
}

}  // namespace

// Kernels that lack half support on the CPU are retried with half widened to float.
void cpu_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  wait_for_device();
  host_op_timer timer;
  const size_t n = op.schema().arguments().size();
  std::vector<c10::IValue> args(stack->end() - static_cast<std::ptrdiff_t>(n), stack->end());
  torch::jit::drop(*stack, n);
  check_same_device(op, args);
  const size_t base = stack->size();
  if (lists_mix_half(args) && has_half_device_tensor(args)) {
    run_on_cpu(op, args, stack, true);
    return;
  }
  try {
    run_on_cpu(op, args, stack, false);
  } catch (const c10::Error& e) {
    if (e.msg().find("not implemented for 'Half'") == std::string::npos ||
        !has_half_device_tensor(args))
      throw;
    stack->resize(base);
    run_on_cpu(op, args, stack, true);
  }
}

}  // namespace xpuemu::device_impl
