"""The table of what the kernels serve: its values, and that the kernels the operators launch are
the ones it names, for every width and attention variant."""
import numpy as np
import pytest
import torch
import xpuemu

import vantrel

XPU = torch.device("xpu")


def test_values():
    t = vantrel.kernel_table()
    assert t["linear"]["layouts"]["arranged"]["widths"] == (4096, 5120, 8192)
    assert t["linear"]["layouts"]["row_major"]["widths"] == (
        256, 384, 512, 640, 768, 1024, 1280, 1376, 1536, 1728, 1792, 2048, 2560, 2752, 3072, 3456,
        3584, 5504, 6912, 7168, 11008, 13824, 14336, 22016, 28672)
    assert vantrel.linear_widths() == (4096, 5120, 8192) + vantrel.linear_widths("row_major")
    assert vantrel.LINEAR_MAX_ROWS == t["linear"]["max_rows"] == 8
    assert vantrel.SDP_HEAD_SIZES == (64, 128) and vantrel.SDP_MAX_GROUP == 32
    # 64: the float nearest log2(e) / 8; 128: a constant 1.04e-4 below log2(e) / sqrt(128).
    scales = {D: np.float32(vantrel.sdp_score_scale(D)) for D in (64, 128)}
    assert [s.view(np.uint32) for s in scales.values()] == [0x3E38AA3B, 0x3E029076]
    assert t["sdp"]["score_scale"] == scales
    # The names the launch log and the profiler show.
    assert [vantrel.linear_kernel(8, K) for K in (4096, 11008, 1376)] == [
        "gemmCommonDim4096Fp16V0", "gemmCommonDim11008Fp16NoReshape",
        "gemmCommonDim1376Fp16NoReshape"]
    assert [vantrel.sdp_kernel(dtype, D, kv_len, group) for D in (64, 128)
            for dtype, kv_len in ((torch.half, 8), (torch.half, 129), (torch.float, 8))
            for group in (1, 3)] == [
        "sdpDim64Fp16Keys128", "sdpDim64Fp16Keys128Grouped", "sdpDim64Fp16KeyBlocks64",
        "sdpDim64Fp16KeyBlocks64Grouped", "sdpDim64Fp32KeyBlocks64",
        "sdpDim64Fp32KeyBlocks64Grouped",
        "sdpDim128Fp16Keys128", "sdpDim128Fp16Keys128Grouped", "sdpDim128Fp16KeyBlocks64",
        "sdpDim128Fp16KeyBlocks64Grouped", "sdpDim128Fp32KeyBlocks64",
        "sdpDim128Fp32KeyBlocks64Grouped"]
    assert vantrel.linear_layout(64) is None and vantrel.linear_kernel(1, 64) is None
    assert vantrel.sdp_kernel(torch.bfloat16, 128, 10) is None
    assert vantrel.sdp_kernel(torch.half, 96, 10) is None
    assert vantrel.sdp_kernel(torch.half, 128, 10, group=33) is None


@pytest.mark.parametrize("call, error", [
    (lambda: vantrel.linear_widths("blocked"), ValueError),
    (lambda: vantrel.sdp_score_scale(96), ValueError),
    (lambda: vantrel.sdp_kernel("half", 128, 10), TypeError),
    (lambda: vantrel.arrange_weights(torch.zeros(4096)), RuntimeError),
    (lambda: vantrel.arrange_weights(torch.zeros(24, 4096)), RuntimeError),
])
def test_bad_queries_raise(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("K", vantrel.linear_widths())
@pytest.mark.parametrize("M", [1, vantrel.LINEAR_MAX_ROWS, vantrel.LINEAR_MAX_ROWS + 1])
def test_linear_launches_the_kernel_the_table_names(K, M):
    w = vantrel.arrange_weights(torch.randn(16, K).half()).to(XPU)
    vantrel.forward(torch.randn(M, K).half().to(XPU), w)
    launched = [r["kernel"] for r in xpuemu.launch_log()]
    expected = vantrel.linear_kernel(M, K)
    assert launched == ([expected] if expected else [])
    assert (expected is None) == (M > vantrel.LINEAR_MAX_ROWS)


def test_arrange_weights_follows_the_element_formula():
    N, K = 32, vantrel.linear_widths("arranged")[0]
    w = torch.arange(N * K, dtype=torch.float).reshape(N, K)
    flat = vantrel.arrange_weights(w).flatten()
    n, k = torch.meshgrid(torch.arange(N), torch.arange(K), indexing="ij")
    assert torch.equal(flat[((n // 16) * K + k) * 16 + n % 16], w)
    row_major = torch.zeros(4, vantrel.linear_widths("row_major")[0])
    assert vantrel.arrange_weights(row_major) is row_major


@pytest.mark.parametrize("D", vantrel.SDP_HEAD_SIZES)
@pytest.mark.parametrize("dtype", [torch.half, torch.float])
@pytest.mark.parametrize("kv_len", [1, 7, 8, 128, 129])
@pytest.mark.parametrize("group", [1, 3, 32])
def test_attention_launches_the_kernel_the_table_names(D, dtype, kv_len, group):
    q = torch.randn(1, group, 1, D, dtype=dtype).to(XPU)
    k = torch.randn(1, 1, kv_len, D, dtype=dtype).to(XPU)
    vantrel.sdp_forward(q, k, k)
    expected = vantrel.sdp_kernel(dtype, D, kv_len, group)
    assert [r["kernel"] for r in xpuemu.launch_log()] == [expected]
