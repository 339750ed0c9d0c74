"""Processes and collectives for tensor-parallel decoding.

`launch` starts one worker process per rank through PyTorch's elastic agent (what torchrun runs),
on this machine, without restarts: when a rank fails, the agent stops the others and `launch`
names the failed rank. In each worker, `init` joins the default process group from the
environment the agent set and returns a `Group`, whose collectives count their calls, bytes and
time for the reports. `allreduce_seconds` and `allgather_seconds` estimate what the same traffic
would cost between GPUs in one machine.

Every rank must call the same collectives in the same order with tensors of the same shape.
"""
import contextlib
import datetime
import importlib
import importlib.util
import logging
import math
import os
import signal
import socket
import sys
import tempfile
import time
from typing import Optional

import torch

__all__ = ["launch", "init", "in_group", "Group", "CollectiveError", "available_backends",
           "allreduce_seconds", "allgather_seconds", "cost_model", "LINK_LATENCY_S",
           "LINK_BYTES_PER_S", "DEFAULT_TIMEOUT_S"]

DEFAULT_TIMEOUT_S = 60.0
BACKEND_ENV = "VANTREL_DIST_BACKEND"
# Set by `launch` for its workers: the launcher's pid, whose death ends them.
LAUNCHER_ENV = "VANTREL_LAUNCHER_PID"
# Backends whose collectives take tensors on the XPU device.
_DEVICE_BACKENDS = ("xccl", "ccl")
# How often the agent polls its workers: a lost rank is seen within this time.
_MONITOR_INTERVAL_S = 0.25


# ---------------------------------------------------------------------------------------------
# Backends

def _dist():
    import torch.distributed as dist
    if not dist.is_available():
        raise RuntimeError("this PyTorch is built without torch.distributed: tensor-parallel "
                           "decoding needs it")
    return dist


def _backend_available(name: str) -> bool:
    import torch.distributed as dist
    if not dist.is_available():
        return False
    if name == "gloo":
        return dist.is_gloo_available()
    check = getattr(dist, "is_backend_available", None)  # newer PyTorch
    if check is not None:
        try:
            if check(name):
                return True
        except Exception:
            pass
    check = getattr(dist, f"is_{name}_available", None)  # e.g. is_xccl_available
    if check is not None:
        try:
            if check():
                return True
        except Exception:
            pass
    if name == "ccl":
        # The oneCCL bindings register "ccl" as a backend plugin when imported.
        for module in ("oneccl_bindings_for_pytorch", "torch_ccl"):
            if importlib.util.find_spec(module) is None:
                continue
            try:
                importlib.import_module(module)
            except Exception:
                continue
            plugins = {k.lower() for k in getattr(dist.Backend, "_plugins", {})}
            if "ccl" in plugins or hasattr(dist.Backend, "CCL"):
                return True
    return False


def available_backends() -> list:
    """The process-group backends usable here, preferred first: xccl, ccl (collectives on the
    device), gloo (collectives on host copies)."""
    return [name for name in _DEVICE_BACKENDS + ("gloo",) if _backend_available(name)]


def _check_backend(name, source: str) -> str:
    if not isinstance(name, str) or not name:
        raise ValueError(f"{source} must be a backend name such as 'gloo', got {name!r}")
    name = name.lower()
    available = available_backends()
    if name not in available:
        raise ValueError(f"{source} {name!r} is not available in this PyTorch; available: "
                         f"{', '.join(available) or 'none'}")
    return name


def _default_backend() -> str:
    if os.environ.get(BACKEND_ENV):
        return _check_backend(os.environ[BACKEND_ENV], f"{BACKEND_ENV}=")
    available = available_backends()
    if not available:
        raise RuntimeError("torch.distributed offers none of the backends xccl, ccl, gloo")
    return available[0]


# ---------------------------------------------------------------------------------------------
# Launching the ranks

_PORT_ATTEMPTS = 5  # ports tried when another process takes the free one first


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _describe_exit(exitcode: int) -> str:
    if exitcode < 0:
        try:
            return f"signal {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"signal {-exitcode}"
    return f"exit code {exitcode}"


def _quiet_agent_logs():
    """Raise the agent's loggers to CRITICAL (it logs every step and every stopped worker; the
    failure is reported by `launch` instead). Returns what to restore."""
    saved = {}
    names = [n for n in logging.Logger.manager.loggerDict if n.startswith("torch.distributed")]
    for name in names + ["torch.distributed"]:
        logger = logging.getLogger(name)
        saved[name] = logger.level
        logger.setLevel(logging.CRITICAL)
    return saved


def launch(worker_argv: list, tp: int, backend: Optional[str] = None,
           module: str = "vantrel_llama") -> int:
    """Runs `python -m <module> <worker_argv>` as `tp` ranks on this machine and waits for them.

    Each worker has RANK, LOCAL_RANK, WORLD_SIZE, MASTER_ADDR=127.0.0.1 and MASTER_PORT (a free
    local port, served by the agent's store) in its environment, and VANTREL_DIST_BACKEND when
    `backend` is given; stdin, stdout and stderr are the launcher's. There are no restarts.

    Returns 0 when every rank exited with 0. When a rank fails or is killed, the agent stops the
    others (SIGTERM, then SIGKILL after 30 s), a message naming the failed rank(s) and their exit
    code or signal goes to stderr, and the result is the first failure's exit code, or 128 + the
    signal number. Call from the main thread: the agent installs signal handlers while it runs
    (they are restored on return).
    """
    if (not isinstance(worker_argv, (list, tuple))
            or not all(isinstance(a, str) for a in worker_argv)):
        raise ValueError(f"worker_argv must be a list of strings, got {worker_argv!r}")
    if isinstance(tp, bool) or not isinstance(tp, int) or tp < 1:
        raise ValueError(f"--tp must be a positive whole number of ranks, got {tp!r}")
    if backend is not None:
        backend = _check_backend(backend, "--dist-backend")
    if not isinstance(module, str) or not all(p.isidentifier() for p in module.split(".")):
        raise ValueError(f"module must be a dotted module name, got {module!r}")

    _agent_modules()  # their loggers exist before they are quieted
    saved_signals = {s: signal.getsignal(s) for s in
                     (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)}
    saved_env = {name: os.environ.get(name) for name in (BACKEND_ENV, LAUNCHER_ENV)}
    saved_levels = _quiet_agent_logs()
    # The workers inherit the launcher's environment plus what the agent sets.
    if backend is not None:
        os.environ[BACKEND_ENV] = backend
    os.environ[LAUNCHER_ENV] = str(os.getpid())
    try:
        for attempt in range(_PORT_ATTEMPTS):
            try:
                result = _run_agent(worker_argv, tp, module, _free_port())
                break
            except RuntimeError as e:
                # The free port was taken before the agent's store bound it: another port.
                if "Address already in use" not in str(e) or attempt + 1 == _PORT_ATTEMPTS:
                    raise
        if isinstance(result, int):
            return result
    finally:
        for s, handler in saved_signals.items():
            signal.signal(s, handler)
        for name, value in saved_env.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        for name, level in saved_levels.items():
            logging.getLogger(name).setLevel(level)

    if not result.is_failed():
        return 0
    failures = sorted(result.failures.items())
    lost = "; ".join(f"rank {rank} exited with {_describe_exit(f.exitcode)}"
                     for rank, f in failures)
    stopped = "; the ranks still running were stopped" if len(failures) < tp else ""
    print(f"vantrel_llama: {lost}{stopped}", file=sys.stderr, flush=True)
    first = min((f for _, f in failures), key=lambda f: f.timestamp)
    return 128 - first.exitcode if first.exitcode < 0 else (first.exitcode or 1)


def _agent_modules():
    """Imports the elastic agent's modules: each sets its logger's level when first imported, so
    they are quieted after this."""
    import torch.distributed.elastic.agent.server.local_elastic_agent  # noqa: F401
    import torch.distributed.elastic.rendezvous.registry  # noqa: F401
    import torch.distributed.elastic.rendezvous.static_tcp_rendezvous  # noqa: F401
    import torch.distributed.elastic.utils.distributed  # noqa: F401


def _run_agent(worker_argv: list, tp: int, module: str, port: int):
    """The agent's run of the ranks on `port`: its result, or the exit status when a signal
    stopped it."""
    from torch.distributed.elastic.agent.server.api import WorkerSpec
    from torch.distributed.elastic.agent.server.local_elastic_agent import LocalElasticAgent
    from torch.distributed.elastic.multiprocessing import Std
    from torch.distributed.elastic.multiprocessing.api import SignalException
    from torch.distributed.elastic.rendezvous import RendezvousParameters
    from torch.distributed.elastic.rendezvous import registry

    with tempfile.TemporaryDirectory(prefix="vantrel_launch_") as log_dir:
        # One node; its agent hosts the store the workers rendezvous on (MASTER_PORT).
        params = RendezvousParameters(
            backend="static", endpoint=f"127.0.0.1:{port}",
            run_id=f"vantrel_{os.getpid()}", min_nodes=1, max_nodes=1, rank=0,
            timeout=int(DEFAULT_TIMEOUT_S))
        workers = WorkerSpec(
            role="rank", local_world_size=tp, entrypoint=sys.executable,
            args=("-m", module, *worker_argv),
            rdzv_handler=registry.get_rendezvous_handler(params),
            max_restarts=0, monitor_interval=_MONITOR_INTERVAL_S,
            redirects=Std.NONE, tee=Std.NONE, master_addr="127.0.0.1", master_port=port)
        agent = LocalElasticAgent(workers, start_method="spawn", log_dir=log_dir)
        try:
            result = agent.run()
        except SignalException as e:
            print(f"vantrel_llama: stopped by {e.sigval.name}; the ranks were stopped too",
                  file=sys.stderr, flush=True)
            return 128 + int(e.sigval)
        finally:
            workers.rdzv_handler.shutdown()
        return result


# ---------------------------------------------------------------------------------------------
# The process group in a worker

class CollectiveError(RuntimeError):
    """A collective failed on this rank: another rank stopped, or did not join within the group's
    timeout."""


def _env_int(name: str) -> Optional[int]:
    value = os.environ.get(name)
    if value is None or value == "":
        return None
    try:
        return int(value)
    except ValueError:
        raise ValueError(f"environment variable {name} must be a whole number, got "
                         f"{value!r}") from None


def in_group() -> bool:
    """Whether the environment makes this process a rank for `init` to join: WORLD_SIZE set and
    not 1 (a value below 1 is one `init` refuses, naming it)."""
    return _env_int("WORLD_SIZE") not in (None, 1)


def init(backend: Optional[str] = None,
         timeout_s: float = DEFAULT_TIMEOUT_S) -> Optional["Group"]:
    """Joins the default process group of this rank and returns its `Group`, or None when not
    running as one of several ranks (WORLD_SIZE unset or 1, no group initialised).

    The group comes from the environment (env://: RANK, WORLD_SIZE, MASTER_ADDR, MASTER_PORT),
    or is the one already initialised by the caller. `backend`: None picks VANTREL_DIST_BACKEND
    if set, else the first of `available_backends()`; a name that is not available raises
    ValueError. A collective waiting longer than `timeout_s` for another rank (one that died or
    hangs) raises RuntimeError instead of waiting forever.
    """
    if backend is not None:
        backend = _check_backend(backend, "--dist-backend")
    if (isinstance(timeout_s, bool) or not isinstance(timeout_s, (int, float))
            or not math.isfinite(timeout_s) or timeout_s <= 0):
        raise ValueError(f"timeout_s must be a positive number of seconds, got {timeout_s!r}")
    import torch.distributed as dist
    if dist.is_available() and dist.is_initialized():
        group = Group()
        if backend is not None and backend != group.backend:
            raise ValueError(f"--dist-backend {backend!r} asked for, but the process group "
                             f"already initialised uses {group.backend!r}")
        return group
    world_size = _env_int("WORLD_SIZE")
    if world_size is None or world_size == 1:
        return None
    if world_size < 1:
        raise ValueError(f"environment variable WORLD_SIZE must be at least 1, got {world_size}")
    rank = _env_int("RANK")
    if rank is None or not 0 <= rank < world_size:
        raise ValueError(f"environment variable RANK must be a rank from 0 to {world_size - 1} "
                         f"(WORLD_SIZE={world_size}), got {os.environ.get('RANK')!r}")
    for name in ("MASTER_ADDR", "MASTER_PORT"):
        if not os.environ.get(name):
            raise ValueError(f"environment variable {name} must be set when WORLD_SIZE="
                             f"{world_size} (start the ranks with `--tp` or torchrun)")
    _end_with_launcher()
    dist = _dist()
    if backend is None:
        backend = _default_backend()
    dist.init_process_group(backend, init_method="env://", rank=rank, world_size=world_size,
                            timeout=datetime.timedelta(seconds=timeout_s))
    return Group()


def _end_with_launcher():
    """In a worker of `launch`: the kernel sends this process SIGTERM when the launcher dies, even
    by SIGKILL, which gives its agent no chance to stop the ranks (Linux's parent-death signal)."""
    launcher = _env_int(LAUNCHER_ENV)
    os.environ.pop(LAUNCHER_ENV, None)  # for this worker, not for processes it starts
    if launcher is None:
        return
    if os.getppid() == launcher:
        import ctypes
        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGTERM, 0, 0, 0)
    if os.getppid() != launcher:  # it died before the call took effect
        os.kill(os.getpid(), signal.SIGTERM)


class Group:
    """The default process group: `rank`, `size`, `backend`, and counted collectives.

    `device_collectives` is True for xccl/ccl, whose collectives take tensors on the XPU device;
    with gloo the tensors are copied to and from the host. Collectives raise CollectiveError (a
    RuntimeError) when a rank has not joined them within the group's timeout, or has died.
    """

    def __init__(self):
        dist = _dist()
        if not dist.is_initialized():
            raise RuntimeError("no process group is initialised: use parallel.init()")
        self.rank = dist.get_rank()
        self.size = dist.get_world_size()
        self.backend = str(dist.get_backend()).lower()
        self.device_collectives = self.backend in _DEVICE_BACKENDS
        self._closed = False
        self.reset_stats()

    def __repr__(self):
        return f"Group(rank={self.rank}, size={self.size}, backend={self.backend!r})"

    def _dist(self):
        if self._closed:
            raise RuntimeError("the process group is closed")
        import torch.distributed as dist
        return dist

    def stats(self) -> dict:
        """Collectives since the last reset: counts, bytes of the results (as on the device) and
        the wall time spent in all collectives, host copies included."""
        return dict(self._stats)

    def reset_stats(self):
        self._stats = {"all_reduce": 0, "all_reduce_bytes": 0, "all_gather": 0,
                       "all_gather_bytes": 0, "seconds": 0.0}

    def all_reduce_sum(self, t: torch.Tensor) -> torch.Tensor:
        """Returns a new tensor, like `t`, holding the sum of every rank's `t`; `t` is unchanged.

        The sum is taken in float32 and rounded to t's dtype once, on the device with xccl/ccl
        and on a host copy with gloo.
        """
        if not isinstance(t, torch.Tensor) or not t.is_floating_point():
            raise ValueError(f"all_reduce_sum needs a floating-point tensor, got "
                             f"{getattr(t, 'dtype', type(t).__name__)}")
        dist = self._dist()
        start = time.perf_counter()
        if self.device_collectives:
            acc = t.to(torch.float32, copy=True)
        else:
            acc = t.to("cpu").to(torch.float32)
        with self._failing("all-reduce"):
            dist.all_reduce(acc, op=dist.ReduceOp.SUM)
        out = acc.to(t.dtype).to(t.device)
        self._count("all_reduce", t.numel() * t.element_size(), start)
        return out

    def all_gather_columns(self, t: torch.Tensor) -> torch.Tensor:
        """t [rows, n_local] on every rank -> [rows, size * n_local] on t's device, rank r's
        columns at r * n_local; every rank must pass the same shape and dtype."""
        if not isinstance(t, torch.Tensor) or t.dim() != 2:
            raise ValueError(f"all_gather_columns needs a 2-D tensor [rows, n_local], got "
                             f"{tuple(t.shape) if isinstance(t, torch.Tensor) else type(t)}")
        dist = self._dist()
        start = time.perf_counter()
        local = t.contiguous() if self.device_collectives else t.to("cpu").contiguous()
        parts = [torch.empty_like(local) for _ in range(self.size)]
        with self._failing("all-gather"):
            dist.all_gather(parts, local)
        out = torch.cat(parts, dim=1).to(t.device)
        self._count("all_gather", out.numel() * out.element_size(), start)
        return out

    def broadcast_object(self, obj, src: int = 0):
        """Rank `src`'s `obj` (picklable, small) on every rank; the others' `obj` is ignored."""
        if isinstance(src, bool) or not isinstance(src, int) or not 0 <= src < self.size:
            raise ValueError(f"src must be a rank from 0 to {self.size - 1}, got {src!r}")
        dist = self._dist()
        start = time.perf_counter()
        box = [obj if self.rank == src else None]
        with self._failing("broadcast"):
            dist.broadcast_object_list(box, src=src)
        self._stats["seconds"] += time.perf_counter() - start
        return box[0]

    def all_gather_object(self, obj) -> list:
        """Every rank's `obj` (small Python objects), in rank order."""
        start = time.perf_counter()
        out = [None] * self.size
        dist = self._dist()
        with self._failing("all-gather"):
            dist.all_gather_object(out, obj)
        self._stats["seconds"] += time.perf_counter() - start
        return out

    def barrier(self):
        dist = self._dist()
        start = time.perf_counter()
        with self._failing("barrier"):
            dist.barrier()
        self._stats["seconds"] += time.perf_counter() - start

    def close(self):
        """Destroys the default process group (also one the caller initialised); idempotent."""
        if self._closed:
            return
        self._closed = True
        import torch.distributed as dist
        if dist.is_initialized():
            dist.destroy_process_group()

    @contextlib.contextmanager
    def _failing(self, what: str):
        """Raises a collective's RuntimeError as a CollectiveError naming this rank."""
        try:
            yield
        except CollectiveError:
            raise
        except RuntimeError as e:
            raise CollectiveError(f"rank {self.rank} of {self.size}: the {what} failed (a rank "
                                  f"stopped, or did not join within the group's timeout): "
                                  f"{e}") from e

    def _count(self, kind: str, nbytes: int, start: float):
        self._stats[kind] += 1
        self._stats[kind + "_bytes"] += nbytes
        self._stats["seconds"] += time.perf_counter() - start


# ---------------------------------------------------------------------------------------------
# Cost model: ring collectives between GPUs in one machine (PCIe 4.0 x16 / Xe-Link class).

# Latency of one ring step (one message to the next rank): 2 steps = 10 us per all-reduce at P=2.
LINK_LATENCY_S = 5e-6
# Bandwidth of one rank's link, each direction.
LINK_BYTES_PER_S = 32e9


def _check_cost_args(nbytes, size, latency_s, link_bytes_per_s):
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"size must be a positive whole number of ranks, got {size!r}")
    if not nbytes >= 0:
        raise ValueError(f"nbytes must be >= 0, got {nbytes!r}")
    if not latency_s >= 0:
        raise ValueError(f"latency_s must be >= 0, got {latency_s!r}")
    if not link_bytes_per_s > 0:
        raise ValueError(f"link_bytes_per_s must be > 0, got {link_bytes_per_s!r}")


def allreduce_seconds(nbytes, size: int, latency_s: float = LINK_LATENCY_S,
                      link_bytes_per_s: float = LINK_BYTES_PER_S) -> float:
    """Time of a ring all-reduce of `nbytes` over `size` ranks: 2(P-1) steps (reduce-scatter,
    then all-gather), each sending nbytes/P and paying the latency; 0 for P = 1."""
    _check_cost_args(nbytes, size, latency_s, link_bytes_per_s)
    steps = 2 * (size - 1)
    return steps * latency_s + steps / size * nbytes / link_bytes_per_s


def allgather_seconds(nbytes, size: int, latency_s: float = LINK_LATENCY_S,
                      link_bytes_per_s: float = LINK_BYTES_PER_S) -> float:
    """Time of a ring all-gather whose result is `nbytes`: P-1 steps of nbytes/P; 0 for P = 1."""
    _check_cost_args(nbytes, size, latency_s, link_bytes_per_s)
    steps = size - 1
    return steps * latency_s + steps / size * nbytes / link_bytes_per_s


def cost_model() -> str:
    """One line naming the model and its constants, for reports."""
    return (f"ring collectives, {LINK_LATENCY_S * 1e6:g} us per step, "
            f"{LINK_BYTES_PER_S / 1e9:g} GB/s per link "
            f"(all-reduce: 2(P-1) steps of bytes/P)")
