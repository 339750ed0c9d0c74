// The table of what the kernels serve, for Python: the engine, tests, fuzzer and benchmarks decide
// which kernel serves a shape from these functions, never from copies of the lists.
#include "vantrel/bindings/table.h"

#include <torch/csrc/Dtype.h>
#include <torch/extension.h>

#include <optional>
#include <string>

#include "vantrel/kernels/catalog.hpp"
#include "xpuemu/python_wait.hpp"

namespace py = pybind11;
namespace vk = vantrel::kernels;

namespace vantrel::bindings {
namespace {

py::object name_or_none(const std::string& name) {
  return name.empty() ? py::object(py::none()) : py::object(py::str(name));
}

template <typename List>
py::tuple as_tuple(const List& list) {
  py::tuple out(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) out[i] = list[i];
  return out;
}

const vk::linear_family* family_named(const std::string& layout) {
  for (const vk::linear_family* f : {&vk::kArrangedFamily, &vk::kRowMajorFamily})
    if (layout == f->layout_name) return f;
  return nullptr;
}

py::tuple widths_of(const vk::linear_family& family) {
  return family.layout == vk::weight_layout::arranged ? as_tuple(vk::kArrangedWidths)
                                                      : as_tuple(vk::kRowMajorWidths);
}

// Half or float, as the attention kernels take them; anything else has no kernel.
std::optional<bool> sdp_half(const py::handle& dtype) {
  if (!THPDtype_Check(dtype.ptr()))
    throw py::type_error("dtype must be a torch.dtype, got " +
                         std::string(Py_TYPE(dtype.ptr())->tp_name));
  const at::ScalarType type = reinterpret_cast<THPDtype*>(dtype.ptr())->scalar_type;
  if (type == at::kHalf) return true;
  if (type == at::kFloat) return false;
  return std::nullopt;
}

// Row-major [N, K] weights in the layout the kernel of width K reads: blocks of 16 output features
// for the arranged widths (N a multiple of 16), `w` itself for the others.
at::Tensor arrange_weights(const at::Tensor& w) {
  TORCH_CHECK(w.dim() == 2, "w must be 2-D row-major weights [N, K], got ", w.dim(), " dimensions");
  const int64_t N = w.size(0), K = w.size(1), B = vk::kBlockOutputs;
  if (vk::linear_layout(K) != vk::weight_layout::arranged) return w;
  TORCH_CHECK(N % B == 0, "w must have N a multiple of ", B, " for K = ", K,
              " (weights arranged in blocks of ", B, " output features), got N = ", N);
  return w.reshape({N / B, B, K}).transpose(1, 2).contiguous();
}

}  // namespace

void bind_table(py::module_& m) {
  m.attr("LINEAR_MAX_ROWS") = vk::kLinearMaxRows;
  m.def(
      "linear_layout",
      [](int64_t K) -> py::object {
        const vk::weight_layout layout = vk::linear_layout(K);
        if (layout == vk::weight_layout::none) return py::none();
        return py::str(vk::linear_family_of(layout).layout_name);
      },
      py::arg("K"),
      "The weight layout the kernel for input width K reads: 'arranged' (blocks of 16 output "
      "features, [N/16, K, 16], N a multiple of 16) or 'row_major' ([N, K], N a multiple of 4); "
      "None when no kernel serves K (PyTorch's linear on row-major weights).");
  m.def(
      "linear_widths",
      [](std::optional<std::string> layout) {
        if (!layout)
          return py::tuple(as_tuple(vk::kArrangedWidths) + as_tuple(vk::kRowMajorWidths));
        const vk::linear_family* family = family_named(*layout);
        if (!family)
          throw py::value_error("layout must be 'arranged' or 'row_major', got '" + *layout + "'");
        return widths_of(*family);
      },
      py::arg("layout") = py::none(),
      "The input widths K with a linear kernel: those of one layout ('arranged' or "
      "'row_major') in increasing order, or all of them (the arranged ones first).");
  m.def(
      "linear_kernel",
      [](int64_t rows, int64_t K) { return name_or_none(vk::linear_kernel_name(rows, K)); },
      py::arg("rows"), py::arg("K"),
      "The name of the kernel (as the launch log shows it) that serves a half input [rows, K], or "
      "None when PyTorch's linear does.");
  m.def(
      "quantized_kernel",
      [](int64_t rows, int64_t K, int64_t bits, int64_t group_size) {
        return name_or_none(vk::quantized_kernel_name(rows, K, bits, group_size));
      },
      py::arg("rows"), py::arg("K"), py::arg("bits"), py::arg("group_size"),
      "The name of the packed kernel (as the launch log shows it) that serves a half input "
      "[rows, K] on codes of `bits` bits in groups of `group_size`, or None when the weights are "
      "dequantized for forward's path.");
  m.def(
      "arrange_weights",
      [](const at::Tensor& w) { return xpuemu::without_gil([&] { return arrange_weights(w); }); },
      py::arg("w"),
      "Row-major weights [N, K] in the layout forward reads for width K: for the 'arranged' "
      "widths a contiguous [N/16, K, 16] copy, output feature n at input feature k at element "
      "((n // 16) * K + k) * 16 + n % 16 (N a multiple of 16); for the other widths w itself.");
  m.attr("QUANT_BITS") = as_tuple(vk::kQuantBits);
  m.attr("QUANT_GROUP_SIZES") = as_tuple(vk::kQuantGroupSizes);
  m.attr("SDP_HEAD_SIZES") = as_tuple(vk::kSdpHeadSizes);
  m.attr("SDP_MAX_GROUP") = vk::kSdpMaxGroupHeads;
  m.def(
      "sdp_kernel",
      [](const py::handle& dtype, int64_t head_size, int64_t kv_len, int64_t group) {
        const std::optional<bool> half = sdp_half(dtype);
        if (!half || kv_len < 1 || group < 1) return py::object(py::none());
        return name_or_none(
            vk::sdp_kernel_name(*half, head_size, uint64_t(kv_len), uint64_t(group)));
      },
      py::arg("dtype"), py::arg("head_size"), py::arg("kv_len"), py::arg("group") = 1,
      "The name of the attention kernel (as the launch log shows it) for queries of `dtype` with "
      "heads of head_size against kv_len cached positions, `group` query heads sharing each "
      "key/value head; None when no kernel serves the call.");
  m.def(
      "sdp_score_scale",
      [](int64_t head_size) {
        const float scale = vk::sdp_score_scale(head_size);
        if (scale == 0.0f)
          throw py::value_error("head_size " + std::to_string(head_size) +
                                " has no attention kernel");
        return scale;
      },
      py::arg("head_size"),
      "The factor s of the attention kernels' weights 2^(s * q.k) for heads of head_size "
      "(standing for log2(e) / sqrt(head_size): 0.1275042 for 128); the softmax scale "
      "it amounts to is s * ln 2.");
  m.def(
      "add_rms_norm_kernel",
      [](int64_t hidden) { return name_or_none(vk::add_rms_norm_kernel_name(hidden)); },
      py::arg("hidden"),
      "The name of the add_rms_norm kernel (as the launch log shows it) for rows of `hidden` "
      "elements: addRmsNormDim{hidden} for the listed sizes, addRmsNormDimAny for every other "
      "multiple of 16 up to 32768; None otherwise.");
  m.def(
      "rotary_cache_kernel",
      [](int64_t head_size) { return name_or_none(vk::rotary_cache_kernel_name(head_size)); },
      py::arg("head_size"),
      "The name of the rotary_cache kernel for heads of head_size elements "
      "(rotaryCacheDim{head_size}, every multiple of 16 up to 256); None otherwise.");
  m.def(
      "silu_mul_kernel",
      [](int64_t intermediate) { return name_or_none(vk::silu_mul_kernel_name(intermediate)); },
      py::arg("intermediate"),
      "The name of the silu_mul kernel for `intermediate` outputs per row: "
      "siluMulDim{intermediate} for the listed sizes, siluMulDimAny for every other multiple of "
      "16 up to 65536; None otherwise.");
  m.def(
      "kernel_table",
      [] {
        py::dict layouts;
        for (const vk::linear_family* f : {&vk::kArrangedFamily, &vk::kRowMajorFamily}) {
          py::dict d;
          d["widths"] = widths_of(*f);
          d["n_multiple"] = f->n_multiple;
          d["weight_bits"] = f->weight_bits;
          d["kernel"] = std::string("gemmCommonDim{K}") + f->name_suffix;
          layouts[f->layout_name] = d;
        }
        py::dict linear;
        linear["max_rows"] = vk::kLinearMaxRows;
        linear["max_weight_bytes"] = vk::kLinearMaxWeightBytes;
        linear["layouts"] = layouts;
        py::dict quantized;
        quantized["bits"] = as_tuple(vk::kQuantBits);
        quantized["group_sizes"] = as_tuple(vk::kQuantGroupSizes);
        quantized["kernels"] = vk::kQuantKernels;
        linear["quantized"] = quantized;
        py::dict scales;
        for (auto D : vk::kSdpHeadSizes) scales[py::int_(D)] = vk::sdp_score_scale(D);
        py::dict sdp;
        sdp["head_sizes"] = as_tuple(vk::kSdpHeadSizes);
        sdp["max_group"] = vk::kSdpMaxGroupHeads;
        sdp["score_scale"] = scales;
        // The fused operators: the sizes with a kernel of their own, the multiple and limit of
        // every size served, the kernel names.
        const auto fused = [](py::tuple sizes, int64_t max, const std::string& name,
                              const char* other) {
          py::dict d;
          d["sizes"] = sizes;
          d["multiple"] = vk::kFusedChunk;
          d["max_size"] = max;
          d["kernel"] = name;
          d["other_sizes_kernel"] = other ? py::object(py::str(other)) : py::object(py::none());
          return d;
        };
        py::dict table;
        table["linear"] = linear;
        table["sdp"] = sdp;
        table["add_rms_norm"] = fused(as_tuple(vk::kNormWidths), vk::kNormMaxWidth,
                                      "addRmsNormDim{H}", "addRmsNormDimAny");
        table["rotary_cache"] = fused(as_tuple(vk::kRotaryHeadSizes), vk::kRotaryMaxHeadSize,
                                      "rotaryCacheDim{D}", nullptr);
        table["silu_mul"] =
            fused(as_tuple(vk::kGatedWidths), vk::kGatedMaxWidth, "siluMulDim{I}", "siluMulDimAny");
        return table;
      },
      "Everything above as one dict: per linear layout its widths, N multiple, weight bits and "
      "kernel name pattern; the row limit; the packed weight formats (bits, group sizes, and "
      "whether kernels read them: True); the "
      "attention head sizes, group limit and score scales; for add_rms_norm, rotary_cache and "
      "silu_mul the sizes with a kernel of their own, the multiple (16) and largest size served, "
      "the kernel name pattern and the kernel of the other sizes (None: every size has its own).");
}

}  // namespace vantrel::bindings
