"""The module: argument conversion, the interpreter lock, imports in any order."""
import subprocess
import sys
import threading
import time

import pytest
import torch

import vantrel

K = vantrel.linear_widths()[0]  # a width with a kernel
D = vantrel.SDP_HEAD_SIZES[-1]  # a head size with kernels
T = torch.zeros(1, 1, 1, 128, dtype=torch.half)


@pytest.mark.parametrize("fn, args, kwargs, problem", [
    (vantrel.forward, (T,), {}, "missing argument 'weights'"),
    (vantrel.forward, (T, T, T), {}, "takes 2 arguments, 3 given"),
    (vantrel.forward, (T,), {"input": T}, "multiple values for argument 'input'"),
    (vantrel.forward, (T,), {"weight": T}, "unexpected keyword argument 'weight'"),
    (vantrel.forward, (T, [[1.0]]), {}, "argument 1 (weights) must be a torch.Tensor"),
    (vantrel.forward, (T.numpy(), T), {}, "argument 0 (input) must be a torch.Tensor"),
    (vantrel.sdp_forward, (T, T), {}, "missing argument 'v'"),
    (vantrel.sdp_forward, (T, T, T, T), {}, "takes 3 arguments, 4 given"),
    (vantrel.sdp_forward, (), {"q": T, "k": T, "value": T}, "unexpected keyword argument"),
    (vantrel.sdp_forward, (T, T), {"v": None}, "argument 2 (v) must be a torch.Tensor"),
])
def test_wrong_arguments_raise_type_error(fn, args, kwargs, problem):
    with pytest.raises(TypeError, match="incompatible function arguments") as err:
        fn(*args, **kwargs)
    assert problem in str(err.value)


def test_arguments_by_name(xpu):
    x = torch.randn(2, K).half().to(xpu)
    w = torch.randn(16, K).half().to(xpu)
    expected = vantrel.forward(x, w).cpu()
    assert torch.equal(vantrel.forward(weights=w, input=x).cpu(), expected)
    assert torch.equal(vantrel.forward(x, weights=w).cpu(), expected)
    q, k = torch.randn(1, 2, 1, D).half().to(xpu), torch.randn(1, 2, 16, D).half().to(xpu)
    assert torch.equal(vantrel.sdp_forward(v=k, q=q, k=k).cpu(), vantrel.sdp_forward(q, k, k).cpu())


def test_type_error_describes_tensors_without_reading_them():
    """A 2^40-element zero-stride view is described by dtype, shape and device, at once."""
    big = torch.zeros(1, dtype=torch.half, device="xpu").as_strided((2 ** 20, 2 ** 20), (0, 0))
    start = time.monotonic()
    with pytest.raises(TypeError) as err:
        vantrel.forward(big, [1.0])
    assert time.monotonic() - start < 0.5
    assert str(err.value).endswith(
        "got: (torch.Tensor(dtype=torch.float16, shape=[1048576, 1048576], device=xpu:0), list)")
    assert "argument 1 (weights) must be a torch.Tensor" in str(err.value)


def test_operators_release_the_interpreter_lock():
    """Another Python thread keeps running while forward computes on PyTorch's path."""
    x = torch.ones(64, 4096, dtype=torch.float, device="xpu")
    w = torch.ones(4096, 4096, dtype=torch.float, device="xpu")
    vantrel.forward(x, w)
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    start = time.monotonic()
    vantrel.forward(x, w)
    elapsed = time.monotonic() - start
    done.set()
    counter.join()
    # About one tick per millisecond when the lock is free; a held lock allows one per call.
    assert ticks[0] >= elapsed * 1000 / 5, (ticks[0], elapsed)


def test_importing_vantrel_first(build_env):
    """vantrel imports torch and the XPU device itself."""
    code = ("import vantrel, torch\n"
            f"x = torch.ones(1, {K}, dtype=torch.half).to('xpu')\n"
            f"w = torch.ones(16, {K}, dtype=torch.half).to('xpu')\n"
            "print(vantrel.forward(x, w).cpu()[0, 0].item())\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env=build_env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"{K}.0"
