"""The operators in PyTorch's dispatcher: torch.ops.vantrel.* computes and refuses what the module's
functions do, traces with torch.fx, compiles and round-trips with TorchScript, and returns shapes
on meta tensors without a launch."""
import subprocess
import sys

import pytest
import torch
import xpuemu

import vantrel

XPU = torch.device("xpu")


def linear_args(M=3, K=4096, N=32, dtype=torch.half, device=XPU):
    g = torch.Generator().manual_seed(M * N)
    return (torch.randn(M, K, generator=g).to(dtype).to(device),
            torch.randn(N, K, generator=g).to(dtype).to(device))


def sdp_args(B=2, H=8, H_kv=2, kv_len=40, dtype=torch.half, device=XPU):
    g = torch.Generator().manual_seed(kv_len)
    return tuple(torch.randn(B, h, n, 128, generator=g).to(dtype).to(device)
                 for h, n in ((H, 1), (H_kv, kv_len), (H_kv, kv_len)))


@pytest.mark.parametrize("name, args", [
    ("forward", linear_args()), ("forward", linear_args(M=12, K=64, N=5, dtype=torch.float)),
    ("sdp_forward", sdp_args()), ("sdp_forward", sdp_args(H_kv=8, kv_len=300, dtype=torch.float)),
])
def test_same_results_as_the_module(name, args):
    registered = getattr(torch.ops.vantrel, name)(*args).cpu()
    assert torch.equal(registered, getattr(vantrel, name)(*args).cpu())


@pytest.mark.parametrize("name, args, message", [
    ("forward", (torch.zeros(1, 4096, dtype=torch.half), linear_args()[1]),
     "input must be a XPU tensor"),
    ("forward", (torch.zeros(1, 4096, dtype=torch.half), torch.zeros(16, 4096, dtype=torch.half)),
     "input must be a XPU tensor"),
    ("forward", (linear_args()[0], linear_args()[1].t()), "weights must be contiguous"),
    ("forward", (linear_args()[0], torch.zeros(24, 4096, dtype=torch.half, device=XPU)),
     r"weights must be \[N/16, 4096, 16\] or \[N, 4096\] with N a multiple of 16"),
    ("sdp_forward", sdp_args()[:2] + (sdp_args()[2].cpu(),), "v must be a XPU tensor"),
    ("sdp_forward", (torch.zeros(1, 4, 1, 96, dtype=torch.half, device=XPU),) + sdp_args()[1:],
     "hidden dim must be 64 or 128 for this kernel impl"),
    ("sdp_forward", sdp_args(H=6, H_kv=4), "q and k: H = 6 of q must be a multiple of H_kv = 4"),
])
def test_same_errors_as_the_module(name, args, message):
    for fn in (getattr(torch.ops.vantrel, name), getattr(vantrel, name)):
        with pytest.raises(RuntimeError, match=f"^{message}"):
            fn(*args)
    assert xpuemu.launch_log() == []


def layer(x, w):
    return torch.ops.vantrel.forward(x, w).float() * 2


def attend(q, k, v):
    return torch.ops.vantrel.sdp_forward(q, k, v)


@pytest.mark.parametrize("fn, op, args", [(layer, "forward", linear_args()),
                                         (attend, "sdp_forward", sdp_args())])
def test_traces_with_fx(fn, op, args):
    traced = torch.fx.symbolic_trace(fn)
    targets = [n.target for n in traced.graph.nodes if n.op == "call_function"]
    assert getattr(torch.ops.vantrel, op) in targets
    assert torch.equal(traced(*args).cpu(), fn(*args).cpu())


def test_torchscript_round_trip_in_a_fresh_interpreter(tmp_path, build_env):
    x, w = linear_args()
    scripted = torch.jit.script(layer)
    assert torch.equal(scripted(x, w).cpu(), layer(x, w).cpu())
    torch.jit.save(scripted, str(tmp_path / "layer.pt"))
    torch.save((x.cpu(), w.cpu(), layer(x, w).cpu()), tmp_path / "data.pt")
    code = ("import torch, vantrel\n"
            f"x, w, expected = torch.load({str(tmp_path / 'data.pt')!r})\n"
            f"fn = torch.jit.load({str(tmp_path / 'layer.pt')!r})\n"
            "print(torch.equal(fn(x.to('xpu'), w.to('xpu')).cpu(), expected))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120, env=build_env)
    assert out.returncode == 0 and out.stdout.strip() == "True", out.stderr


@pytest.mark.parametrize("name, shapes, dtype, expected", [
    ("forward", [(3, 4096), (2, 4096, 16)], torch.half, (3, 32)),
    ("forward", [(5, 11008), (12, 11008)], torch.half, (5, 12)),
    ("forward", [(2, 7, 64), (9, 64)], torch.float, (2, 7, 9)),
    ("forward", [(0, 4096), (16, 4096)], torch.half, (0, 16)),
    ("sdp_forward", [(2, 32, 1, 128), (2, 8, 5, 128), (2, 8, 5, 128)], torch.half, (2, 4096)),
])
@pytest.mark.parametrize("requires_grad", [False, True])
def test_meta_tensors_give_shapes_without_a_launch(name, shapes, dtype, expected, requires_grad):
    args = [torch.empty(s, dtype=dtype, device="meta", requires_grad=requires_grad and i == 0)
            for i, s in enumerate(shapes)]
    out = getattr(torch.ops.vantrel, name)(*args)
    assert out.device.type == "meta" and out.dtype == dtype and tuple(out.shape) == expected
    assert xpuemu.launch_log() == []
