// DecoderLayers: the engine hands its layers' weights over once, then runs each step's layers
// with one call (the loop in vantrel/ops/decoder.cpp).
#include "vantrel/bindings/decoder.h"

#include <torch/extension.h>

#include <utility>
#include <vector>

#include "vantrel/ops/decoder.h"
#include "xpuemu/python_wait.hpp"
#include "xpuemu/torch_device.hpp"

namespace py = pybind11;

namespace vantrel::bindings {
namespace {

namespace vo = vantrel::ops;

using ProjectionTuple = std::tuple<at::Tensor, c10::optional<at::Tensor>, c10::optional<at::Tensor>,
                                   c10::optional<at::Tensor>, int64_t, int64_t, int64_t>;
using LayerTuple = std::tuple<at::Tensor, at::Tensor, ProjectionTuple, ProjectionTuple,
                              ProjectionTuple, ProjectionTuple>;

vo::Projection projection_of(const ProjectionTuple& t) {
  vo::Projection p;
  p.weight = std::get<0>(t);
  p.scales = std::get<1>(t).value_or(at::Tensor());
  p.zeros = std::get<2>(t);
  p.order = std::get<3>(t).value_or(at::Tensor());
  p.bits = std::get<4>(t);
  p.group_size = std::get<5>(t);
  p.out_features = std::get<6>(t);
  TORCH_CHECK(p.bits == 16 || p.scales.defined(), "a projection of ", p.bits,
              " bits needs its scales");
  return p;
}

class DecoderLayers {
 public:
  DecoderLayers(const std::vector<LayerTuple>& layers, at::Tensor final_norm,
                vo::DecoderShape shape)
      : final_norm_(std::move(final_norm)), shape_(shape) {
    for (const LayerTuple& t : layers)
      layers_.push_back({std::get<0>(t), std::get<1>(t), projection_of(std::get<2>(t)),
                         projection_of(std::get<3>(t)), projection_of(std::get<4>(t)),
                         projection_of(std::get<5>(t))});
  }

  at::Tensor run(const at::Tensor& h, const std::vector<at::Tensor>& k_caches,
                 const std::vector<at::Tensor>& v_caches, const at::Tensor& cos,
                 const at::Tensor& sin, int64_t start, int64_t batch, bool kernel_attention,
                 const py::object& partial_sum, const py::object& host_seconds) {
    vo::PartialSum sum;
    if (!partial_sum.is_none())
      sum = [&partial_sum](const at::Tensor& t) {
        py::gil_scoped_acquire gil;
        return partial_sum(t).cast<at::Tensor>();
      };
    py::dict seconds;
    if (!host_seconds.is_none()) seconds = host_seconds.cast<py::dict>();  // before any work
    vo::HostTime time{[] { return xpuemu::host_op_totals_now().ns; }};
    at::Tensor out = xpuemu::without_gil([&] {
      return vo::decoder_layers(layers_, final_norm_, shape_, h, k_caches, v_caches, cos, sin,
                                start, batch, kernel_attention, sum,
                                host_seconds.is_none() ? nullptr : &time);
    });
    if (!host_seconds.is_none())
      for (const auto& [kind, ns] :
           {std::pair{"projections", time.projections}, std::pair{"attention", time.attention}})
        seconds[kind] = seconds.attr("get")(kind, 0.0).cast<double>() + double(ns) * 1e-9;
    return out;
  }

  size_t size() const { return layers_.size(); }

 private:
  std::vector<vo::DecoderLayer> layers_;
  at::Tensor final_norm_;
  vo::DecoderShape shape_;
};

}  // namespace

void bind_decoder(py::module_& m) {
  py::class_<DecoderLayers>(
      m, "DecoderLayers",
      "DecoderLayers(layers, final_norm, heads, kv_heads, head_dim, intermediate, eps)\n\n"
      "A LLaMA-family decoder's layers for the XPU device, run one step per call: nine device "
      "operations per layer (add + RMSNorm, q/k/v, rotary + cache writes, attention, o, "
      "add + RMSNorm, gate/up, SiLU * up, down). `layers`: per layer (attn_norm, mlp_norm, qkv, "
      "o, gate_up, down), each projection (weight, scales, zeros, order, bits, group_size, "
      "out_features) with None for what a half projection lacks.")
      .def(py::init([](const std::vector<LayerTuple>& layers, at::Tensor final_norm, int64_t heads,
                       int64_t kv_heads, int64_t head_dim, int64_t intermediate, double eps) {
             return DecoderLayers(layers, std::move(final_norm),
                                  vo::DecoderShape{heads, kv_heads, head_dim, intermediate, eps});
           }),
           py::arg("layers"), py::arg("final_norm"), py::arg("heads"), py::arg("kv_heads"),
           py::arg("head_dim"), py::arg("intermediate"), py::arg("eps"))
      .def("run", &DecoderLayers::run, py::arg("h"), py::arg("k_caches"), py::arg("v_caches"),
           py::arg("cos"), py::arg("sin"), py::arg("start"), py::arg("batch"),
           py::arg("kernel_attention"), py::arg("partial_sum") = py::none(),
           py::arg("host_seconds") = py::none(),
           "run(h, k_caches, v_caches, cos, sin, start, batch, kernel_attention, "
           "partial_sum=None, host_seconds=None) -> torch.Tensor\n\n"
           "The layers for C new positions of `batch` sequences: h (float32 [batch * C, hidden], "
           "the residual stream) is updated in place, keys and values written into rows start.. "
           "of the caches; returns the final norm's output, half [batch * C, hidden]. "
           "`partial_sum`, if given, sums the o and down projections' outputs over the ranks of "
           "a tensor-parallel group. `host_seconds`, a dict if given, gets the seconds the "
           "emulated device spends in PyTorch operations inside the projections and the "
           "attention added to its \"projections\" and \"attention\" entries.")
      .def("__len__", &DecoderLayers::size);
}

}  // namespace vantrel::bindings
