"""What the benchmarks share beyond the package's generators and its timing routine
(quillharbour.generators, quillharbour.bench.interleaved_times): holding this build's outputs to
another build's."""

from __future__ import annotations


def load_build(path):
    """The _quillharbour module of another build (say, the previous commit's), beside this one."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("quillharbour_before._quillharbour", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def same_outputs(a, b):
    """True when two results (tuples of arrays) are equal bit for bit."""
    return all(x.tobytes() == y.tobytes() for x, y in zip(a, b))
