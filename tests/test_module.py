"""The module frame: one module object per process, refused in sub-interpreters."""

from __future__ import annotations

import subprocess
import sys
import textwrap

from quillharbour import _quillharbour as native


def test_reinitialisation_returns_the_same_module():
    code = textwrap.dedent(
        """
        import importlib, sys
        import quillharbour._quillharbour as first
        del sys.modules["quillharbour._quillharbour"]
        second = importlib.import_module("quillharbour._quillharbour")
        assert first is second, (first, second)
        print("same")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "same"


def test_sub_interpreter_import_fails_with_import_error():
    code = textwrap.dedent(
        f"""
        import _xxsubinterpreters as interpreters
        import quillharbour._quillharbour  # loaded in the main interpreter first
        interp = interpreters.create()
        script = '''
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader("quillharbour._quillharbour", {native.__file__!r})
        spec = importlib.util.spec_from_loader("quillharbour._quillharbour", loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            assert "sub-interpreter" in str(e), str(e)
        else:
            raise SystemExit("imported in a sub-interpreter")
        '''
        interpreters.run_string(interp, script)
        print("refused")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "refused"
