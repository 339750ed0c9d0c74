"""Performance report of the emulated XPU device, from one run: each kernel against a native loop
of the same arithmetic on this machine, the host time of a call on an idle and on a busy device,
the cost of the access checks, PyTorch's float32 operators beside, and a roofline picture.

Usage: PYTHONPATH=build/lib /usr/bin/python3 bench/report.py [--quick] [--reps N] [--plot PATH]

The native loops (module vantrel_native, bench/native_loops.cpp) perform each kernel's operations
in its order, every binary16 operation rounded on its own, in AVX2 code on all cores; their output
is compared bit for bit with the operator's. forward_quantized on LLaMA-7B's two shapes (the same
weights as 8- and 4-bit codes) is measured beside the half forward, each against its native loop,
and its native loop against the half one: what reading fewer bytes is worth on this host. The
decoding step's fused operators (add_rms_norm, rotary_cache, silu_mul) at LLaMA-7B's sizes are
measured against their native loops too, their ratios shown beside the targets. Each
loop reports its GB/s (distinct bytes read / time) beside this machine's DRAM read bandwidth,
measured here, so that a slow loop shows. Times are the best of N calls (poisoning off), the
emulated call with checks off and on, the native loop and PyTorch's taking turns so that other
load on the host shifts them alike. The picture needs Debian's python3-matplotlib.
"""
import argparse
import math
import pathlib

from benchlib import (device_timer, interleaved_best, median_call_time, native_loops, traffic,
                      wall_timer)
import torch
import vantrel
import xpuemu

GPUS = (560e9, 1229e9)
HOST_SHAPE = (1, 4096, 4096)  # (M, K, N) of the call whose host time is measured
# (M, K, N) of a launch of several hundred milliseconds, keeping the device busy.
BUSY_SHAPE = (vantrel.LINEAR_MAX_ROWS, 11008, 4096)
HEAD_DIM = 128  # of the attention cases (LLaMA's)
# The kernels of each weight layout: name in the report, native loop, native loop on packed weights.
LINEAR_KERNELS = {"arranged": ("A", "linear_arranged", "linear_arranged_packed"),
                  "row_major": ("B", "linear_row_major", "linear_row_major_packed")}
# Packed weights measured beside the half ones (the same weights quantized): bits, and the group
# size of both.
QUANT_BITS = (8, 4)
QUANT_GROUP = 128

# (K, N) of the linear shapes measured: LLaMA-7B's two kernels' shapes first, then the wider
# layers of LLaMA-2-13B, LLaMA-3-8B / Mistral-7B and LLaMA-2-70B.
LINEAR_SHAPES = ((4096, 11008), (11008, 4096), (5120, 13824), (8192, 28672), (13824, 5120),
                 (14336, 4096), (28672, 8192))


def linear_cases(K, N, rows, gen, xpu, vn, quantized=False):
    """forward with K input and N output features for each M in rows: yields case dicts, each
    followed when `quantized` by forward_quantized on the same weights at each of QUANT_BITS
    (its case's "half" is the half case of the same shape and M)."""
    w = ((torch.rand(N, K, generator=gen) - 0.5) / K**0.5).half()
    w_dev = vantrel.arrange_weights(w)
    w_xpu, w32, w_np = w_dev.to(xpu), w.float(), w_dev.numpy()
    kernel, native, native_packed = LINEAR_KERNELS[vantrel.linear_layout(K)]
    native, native_packed = getattr(vn, native), getattr(vn, native_packed)
    packed = {}
    for bits in QUANT_BITS if quantized else ():
        qw, s, z = vantrel.quantize_weights(w, bits, QUANT_GROUP)
        packed[bits] = ([t.to(xpu) for t in (qw, s, z)], [t.numpy() for t in (qw, s, z)])
    for M in rows:
        x = (torch.rand(M, K, generator=gen) - 0.5).half()
        x_xpu, x32, out = x.to(xpu), x.float(), torch.empty(M, N, dtype=torch.half)
        half = dict(
            name=f"kernel {kernel} {K}x{N} M={M}",
            call=lambda x_xpu=x_xpu: vantrel.forward(x_xpu, w_xpu),
            native=lambda reps, x=x, out=out: native(x.numpy(), w_np, out.numpy(), reps=reps),
            native_out=out,
            torch32=lambda x32=x32: torch.nn.functional.linear(x32, w32),
            torch32_name="float32 linear")
        yield half
        for bits, (on_xpu, arrays) in packed.items():
            out = torch.empty(M, N, dtype=torch.half)
            yield dict(
                name=f"kernel {kernel} int{bits} {K}x{N} M={M}", half=half,
                call=lambda x_xpu=x_xpu, t=on_xpu, b=bits: vantrel.forward_quantized(
                    x_xpu, *t, b, QUANT_GROUP),
                native=lambda reps, x=x, out=out, a=arrays, b=bits: native_packed(
                    x.numpy(), *a, b, QUANT_GROUP, out.numpy(), reps=reps),
                native_out=out)


def sdp_case(dtype, kv_len, gen, xpu, vn, native=True, kv_heads=32):
    B, H = 1, 32
    q = torch.randn(B, H, 1, HEAD_DIM, generator=gen).to(dtype)
    k, v = (torch.randn(B, kv_heads, kv_len, HEAD_DIM, generator=gen).to(dtype) for _ in range(2))
    q_x, k_x, v_x = (t.to(xpu) for t in (q, k, v))
    q32 = q.float()
    k32, v32 = (t.float().repeat_interleave(H // kv_heads, 1) for t in (k, v))
    out = torch.empty(B, H * HEAD_DIM, dtype=dtype)
    # The kernels' weights 2^(s q.k) as a natural-base softmax scale s ln 2.
    scale = vantrel.sdp_score_scale(HEAD_DIM) * math.log(2)
    name = "half" if dtype == torch.half else "float"
    grouped = f", {kv_heads} kv heads" if kv_heads != H else ""
    case = dict(name=f"{name} attention kv_len={kv_len}{grouped}",
                call=lambda: vantrel.sdp_forward(q_x, k_x, v_x))
    if native:
        case.update(
            native=lambda reps: vn.sdp_fp16(q.numpy(), k.numpy(), v.numpy(), out.numpy(),
                                            reps=reps),
            native_out=out,
            torch32=lambda: (torch.softmax((q32 @ k32.transpose(2, 3)) * scale, dim=-1)
                             @ v32).reshape(B, -1),
            torch32_name="float32 attention")
    return case


# LLaMA-7B's decoding step around the fused operators: hidden size, intermediate size, heads of
# HEAD_DIM, and the caches' length and the position written (one new position per sequence).
FUSED_HIDDEN, FUSED_INTERMEDIATE, FUSED_HEADS, FUSED_CACHE, FUSED_START = 4096, 11008, 32, 256, 100


def fused_cases(M, gen, xpu, vn):
    """add_rms_norm (with a delta), rotary_cache (M sequences, one new position each) and
    silu_mul at LLaMA-7B's sizes, M rows. Their ratios to the native loops are shown beside the
    targets, not against them."""
    H, I, heads, D, L = FUSED_HIDDEN, FUSED_INTERMEDIATE, FUSED_HEADS, HEAD_DIM, FUSED_CACHE
    residual, weight = torch.randn(M, H, generator=gen), torch.rand(H, generator=gen) + 0.5
    delta = torch.randn(M, H, generator=gen).half()
    on_xpu = [t.to(xpu) for t in (residual, delta, weight)]
    out, summed = torch.empty(M, H, dtype=torch.half), torch.empty(M, H)
    yield dict(name=f"add_rms_norm H={H} M={M}", target=None,
               call=lambda: vantrel.add_rms_norm(*on_xpu, 1e-5),
               native=lambda reps: vn.add_rms_norm(residual.numpy(), delta.numpy(),
                                                   weight.numpy(), 1e-5, out.numpy(),
                                                   summed.numpy(), reps=reps),
               native_out=out)
    qkv = torch.randn(M, 3 * heads * D, generator=gen).half()
    angles = torch.rand(L, D, generator=gen) * 6.3
    tables = angles.cos(), angles.sin()
    caches = [torch.zeros(M, heads, L, D, dtype=torch.half) for _ in range(2)]
    rot_xpu = [t.to(xpu) for t in (qkv, *tables, *caches)]
    rot_out = torch.empty(M, heads, 1, D, dtype=torch.half)
    yield dict(name=f"rotary_cache D={D} {heads} heads M={M}", target=None,
               call=lambda: vantrel.rotary_cache(*rot_xpu, FUSED_START, heads, heads),
               native=lambda reps: vn.rotary_cache(
                   qkv.numpy(), *(t.numpy() for t in tables), *(t.numpy() for t in caches),
                   FUSED_START, heads, heads, rot_out.numpy(), reps=reps),
               native_out=rot_out)
    gate_up = (torch.randn(M, 2 * I, generator=gen) * 3).half()
    gate_up_xpu, silu_out = gate_up.to(xpu), torch.empty(M, I, dtype=torch.half)
    yield dict(name=f"silu_mul I={I} M={M}", target=None,
               call=lambda: vantrel.silu_mul(gate_up_xpu, I),
               native=lambda reps: vn.silu_mul(gate_up.numpy(), I, silu_out.numpy(), reps=reps),
               native_out=silu_out)


def measure(case, reps):
    """Fills in the case's times (seconds), bytes and the bit-equality of the native output. The
    emulated calls (checks off and on), the native loop and PyTorch's take turns."""
    out, _, case["unique"] = traffic(case["call"])
    # Each turn takes the better of two back-to-back runs: on this virtual machine the first run
    # after a pause may find a core asleep, which costs a short native loop up to half its speed.
    timers = [device_timer(case["call"], False, runs=2), device_timer(case["call"], True, runs=2)]
    if "native" in case:
        timers.append(lambda: case["native"](2)["seconds"])
    if "torch32" in case:
        timers.append(wall_timer(case.pop("torch32")))
    xpuemu.set_poison(False)
    try:
        times = interleaved_best(timers, reps)
    finally:
        xpuemu.set_checking(True)
        xpuemu.set_poison(True)
    case["off"], case["on"] = times[:2]
    if "native" in case:
        case["nat"] = times[2]
        if len(times) > 3:
            case["t32"] = times[3]
        same = out.cpu().view(torch.int16) == case["native_out"].view(torch.int16)
        case["equal"] = bool(same.all())
    del case["call"]  # releases the tensors the closures hold
    case.pop("native", None)


def host_times(xpu, calls):
    """Median host seconds of one forward call (Python to return) on an idle device (right after a
    wait for the previous call's launch: nothing queued), on a busy one (calls queued behind a
    long launch), the same busy call through PyTorch's dispatcher (torch.ops.vantrel.forward), and
    of torch.add of two 16-element CPU tensors timed both ways. A thread that
    has just waited milliseconds runs cold (torch.add alone then takes tens of microseconds on a
    loaded machine), so the idle call is compared with an add timed the same way."""
    M, K, N = HOST_SHAPE
    x = torch.rand(M, K).half().to(xpu)
    w = vantrel.arrange_weights(torch.rand(N, K).half()).to(xpu)
    call = lambda: vantrel.forward(x, w)  # noqa: E731
    call()
    xpuemu.synchronize()
    idle = median_call_time(call, calls, before=lambda: (call(), xpuemu.synchronize()))
    # A launch of several hundred milliseconds keeps the device busy while the timed calls queue.
    M, K, N = BUSY_SHAPE
    big = torch.rand(M, K).half().to(xpu), vantrel.arrange_weights(torch.rand(N, K).half()).to(xpu)
    xpuemu.synchronize()
    vantrel.forward(*big)
    busy = median_call_time(call, calls)
    xpuemu.synchronize()
    vantrel.forward(*big)
    busy_ops = median_call_time(lambda: torch.ops.vantrel.forward(x, w), calls)
    xpuemu.synchronize()
    xpuemu.clear_launch_log()
    a, b = torch.rand(16), torch.rand(16)
    add = lambda: torch.add(a, b)  # noqa: E731
    # Timed like the idle call, right after a wait for a launch, and steadily like the busy ones.
    idle_add = median_call_time(add, calls, before=lambda: (call(), xpuemu.synchronize()))
    busy_add = median_call_time(add, 50 * calls)
    return idle, busy, idle_add, busy_add, busy_ops


def ms(t):
    return f"{t * 1e3:.2f} ms"


def us(t):
    return f"{t * 1e6:.1f} us"


def short_time(t):
    return ms(t) if t >= 1e-3 else us(t)


def print_rows(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for n, r in enumerate(rows):
        print(" | ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in
                         enumerate(zip(r, widths))).rstrip())
        if n == 0:
            print("-+-".join("-" * w for w in widths))


def plot(cases, dram, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.ticker import FuncFormatter

    fig, ax = plt.subplots(figsize=(14, 8))
    # Shapes reading about the same bytes are spread sideways (4 % apart) to stay visible.
    groups = []
    for c in sorted(cases, key=lambda c: c["unique"]):
        if groups and c["unique"] < groups[-1][0]["unique"] * 1.05:
            groups[-1].append(c)
        else:
            groups.append([c])
    xpos = {id(c): c["unique"] / 1e6 * 1.04 ** (i - (len(g) - 1) / 2)
            for g in groups for i, c in enumerate(g)}
    # One colour per operator and shape, shared by the packed weights of a half case (triangles,
    # to the left: fewer bytes); the marker says what ran it. A thin line joins each emulated time
    # to its native loop's: its length is the ratio the report targets.
    own = [c for c in cases if "half" not in c]
    colors = {id(c): plt.cm.tab20(i % 20) for i, c in enumerate(own)}
    shape_handles = []
    for c in cases:
        packed = "half" in c
        color, mb = colors[id(c["half"] if packed else c)], xpos[id(c)]
        ax.scatter([mb], [c["off"] * 1e3], marker="^" if packed else "o", color=color, s=50,
                   zorder=3)
        if "nat" in c:
            t = c["nat"] * 1e3
            ax.scatter([mb], [t], marker="v" if packed else "s", facecolors="none",
                       edgecolors=color, s=50, zorder=3)
            ax.plot([mb, mb], [t, c["off"] * 1e3], color=color, lw=0.8, alpha=0.6)
        if "t32" in c:
            ax.scatter([mb], [c["t32"] * 1e3], marker="x", color=color, s=45, zorder=3)
        shape_handles.append(Line2D([], [], ls="", marker="^" if packed else "o", color=color,
                                    label=f"{c['name']} ({c['unique'] / 1e6:.1f} MB)"))
    sizes = [c["unique"] / 1e6 for c in cases]
    xs = [min(sizes) / 1.5, max(sizes) * 1.5]
    for bw, label, style in [(dram, f"this machine's DRAM read, {dram / 1e9:.1f} GB/s", "-"),
                             (GPUS[0], "GPU at 560 GB/s", "--"),
                             (GPUS[1], "GPU at 1229 GB/s", ":")]:
        ax.plot(xs, [x * 1e6 / bw * 1e3 for x in xs], style, color="grey", label=label)
    handles = [Line2D([], [], ls="", marker="o", color="k", label="emulated XPU, checks off"),
               Line2D([], [], ls="", marker="s", mfc="none", color="k",
                      label="native loop, same arithmetic"),
               Line2D([], [], ls="", marker="x", color="k",
                      label="PyTorch float32 on the CPU, same shape"),
               Line2D([], [], ls="", marker="^", color="k",
                      label=f"emulated XPU, packed weights (group {QUANT_GROUP})"),
               Line2D([], [], ls="", marker="v", mfc="none", color="k",
                      label="native loop, packed weights")]
    # Both legends right of the axes: the points cover every corner inside.
    first = ax.legend(handles=handles + ax.get_legend_handles_labels()[0], loc="upper left",
                      bbox_to_anchor=(1.01, 1), fontsize=9)
    ax.add_artist(first)
    ax.legend(handles=shape_handles, loc="lower left", bbox_to_anchor=(1.01, 0), fontsize=7,
              title="operator and shape", title_fontsize=8)
    ax.set_xscale("log")
    ax.set_yscale("log")
    plain = FuncFormatter(lambda v, _: f"{v:g}")
    ax.xaxis.set_major_formatter(plain)
    ax.xaxis.set_minor_formatter(plain)
    ax.yaxis.set_major_formatter(plain)
    ax.tick_params(axis="x", which="minor", labelsize=7)
    ax.set_xlabel("distinct MB read per call (launch log)")
    ax.set_ylabel("time per call, ms")
    ax.set_title("vantrel's operators: time per call against distinct bytes read")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight", bbox_extra_artists=[first])
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 2 calls per time, fewer host-time samples, a smaller "
                             "DRAM buffer")
    parser.add_argument("--reps", type=int, help="timed calls per measurement (default 5)")
    parser.add_argument("--plot", default=str(pathlib.Path(__file__).with_name("roofline.png")),
                        help="output path of the picture (default bench/roofline.png); "
                             "'' for none")
    args = parser.parse_args()
    reps = args.reps or (2 if args.quick else 5)
    vn = native_loops()
    torch.set_num_threads(vn.threads())
    xpu = torch.device("xpu")
    gen = torch.Generator().manual_seed(0)

    # Read at the start and at the end, the better of the two: the host's other load only lowers it.
    dram_read = lambda: vn.dram_read(256 if args.quick else 1024, reps)["gbps"] * 1e9  # noqa: E731
    dram = dram_read()
    cases = []
    # Packed weights on LLaMA-7B's two kernels' shapes, beside their half cases.
    for i, (K, N) in enumerate(LINEAR_SHAPES[:2] if args.quick else LINEAR_SHAPES):
        for case in linear_cases(K, N, (1, vantrel.LINEAR_MAX_ROWS), gen, xpu, vn,
                                 quantized=i < 2):
            measure(case, reps)
            cases.append(case)
    extra = [] if args.quick else [(torch.half, 128, 32), (torch.half, 1024, 32),
                                   (torch.float, 4096, 32), (torch.float, 4096, 8)]
    for dtype, kv_len, kv_heads in [(torch.half, 4096, 32), (torch.half, 4096, 8)] + extra:
        case = sdp_case(dtype, kv_len, gen, xpu, vn, native=dtype == torch.half and kv_len == 4096,
                        kv_heads=kv_heads)
        measure(case, reps)
        cases.append(case)
    for M in (1, vantrel.LINEAR_MAX_ROWS):
        for case in fused_cases(M, gen, xpu, vn):
            measure(case, reps)
            cases.append(case)
    idle, busy, idle_add, busy_add, busy_ops = host_times(xpu, 20 if args.quick else 100)
    dram = max(dram, dram_read())

    met = []

    def row(measure_name, figure, ratio, target, valid=True):
        ok = None if target is None else valid and ratio <= target
        met.append(ok)
        shown = f"{ratio:.2f}"
        if target is not None and float(shown) == target and ratio > target:
            shown = f"{ratio:.4f}"  # a miss must not read as the target
        return [measure_name, figure, f"{shown}x", "-" if target is None else f"<= {target}x",
                "beside" if ok is None else ("yes" if ok else "NO")]

    rows = [["measure", "figure", "ratio", "target", "met"]]
    for c in cases:
        if "nat" not in c:
            continue
        nat, gbps = c["nat"], c["unique"] / c["nat"] / 1e9
        figure = (f"{short_time(c['off'])} / {short_time(nat)} (native {gbps:.1f} GB/s = "
                  f"{gbps * 1e9 / dram:.0%} of DRAM{'' if c['equal'] else ', OUTPUT DIFFERS'})")
        rows.append(row(f"{c['name']} / its native loop", figure, c["off"] / nat,
                        c.get("target", 1.5), valid=c["equal"]))
    for c in cases:  # what the packed bytes are worth natively, against the bytes they save
        if "half" in c and "nat" in c["half"]:
            h = c["half"]
            rows.append(row(f"native loops, {c['name']} / its half weights",
                            f"{ms(c['nat'])} / {ms(h['nat'])} (reading "
                            f"{c['unique'] / h['unique']:.2f}x the bytes)", c["nat"] / h["nat"],
                            None))
    rows.append(row("host time of a forward call, idle device / torch.add",
                    f"{us(idle)} / {us(idle_add)}", idle / idle_add, 5))
    rows.append(row("the same, device busy (calls queued)", f"{us(busy)} / {us(busy_add)}",
                    busy / busy_add, 2))
    rows.append(row("the busy call through torch.ops.vantrel.forward / vantrel.forward",
                    f"{us(busy_ops)} / {us(busy)}", busy_ops / busy, None))
    for c in cases:
        rows.append(row(f"checks on / off, {c['name']}", f"{ms(c['on'])} / {ms(c['off'])}",
                        c["on"] / c["off"], 1.25 if c.get("target", 1) else None))
    for c in cases:
        if "t32" in c:
            rows.append(row(f"{c['name']} / PyTorch {c['torch32_name']} (CPU)",
                            f"{ms(c['off'])} / {ms(c['t32'])}", c["off"] / c["t32"], None))

    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; best of {reps} calls; "
          f"DRAM read bandwidth {dram / 1e9:.1f} GB/s (measured)")
    M, K, N = HOST_SHAPE
    print("kernel A: forward with weights in blocks of 16 outputs, kernel B: row-major weights "
          f"(K x N); intB: forward_quantized on the same weights as B-bit codes, groups of "
          f"{QUANT_GROUP}; attention: sdp_forward B=1 H=32 (8 kv heads: grouped); fused "
          f"operators at LLaMA-7B's sizes, M rows (rotary_cache: M sequences, one position "
          f"each; add_rms_norm with a delta), beside the targets; host time: "
          f"forward M={M} {K}x{N} against torch.add of two 16-element CPU tensors, medians (idle: "
          "each right after a wait for a launch; busy: back to back)")
    print_rows(rows)
    targeted = [m for m in met if m is not None]
    print(f"\n{sum(targeted)} of {len(targeted)} targets met")
    print("\ndistinct MB read per call (launch log), emulator GB/s, time at 560 / 1229 GB/s:")
    for c in cases:
        u = c["unique"]
        print(f"  {c['name']:<42} {u / 1e6:8.1f} MB  {u / c['off'] / 1e9:6.2f} GB/s  "
              f"{short_time(u / GPUS[0])} / {short_time(u / GPUS[1])}")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:  # the figures above stand; only the picture needs it
            print("\nno picture: it needs Debian's python3-matplotlib")
            return
        plot(cases, dram, args.plot)
        print(f"\nwrote {args.plot}")


if __name__ == "__main__":
    main()
