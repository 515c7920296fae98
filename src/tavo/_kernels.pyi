"""Type stubs for the private tavo._kernels extension."""

from collections.abc import Sequence

from _typeshed import ReadableBuffer

def names() -> tuple[str, ...]:
    """Kernels this CPU can run, reference first."""

def active() -> str:
    """The kernel that _tavoext uses on this CPU."""

def features() -> tuple[tuple[str, bool], ...]:
    """The CPU features that the choice of kernel tests, each with whether
    this CPU has it; empty off x86."""

def encode(kernel: str, data: ReadableBuffer, /) -> bytes:
    """Encode with the named kernel."""

def decode(kernel: str, data: ReadableBuffer, /) -> bytes:
    """Decode with the named kernel. Raises ``_tavoext.DecodeError(message,
    offset)``, offset being that of the first offending input byte."""

def time(
    kernel: str,
    op: str,
    data: ReadableBuffer,
    loops: int,
    lengths: Sequence[int] | None = None,
    unseen: int = 0,
    /,
) -> float:
    """Seconds that ``loops`` runs of the named kernel (or ``"memcpy"``) take
    on ``data``, in a C loop; ``op`` is ``"encode"`` or ``"decode"``. With
    ``lengths``, data is that many consecutive messages, each run in turn.
    With ``unseen`` true, the kernel first meets data in the timed runs."""
