"""Regenerates the reference forms in test_reader_expressions.py from Dynare.

Writes a model whose equation i is `z_i = CASE_i;`, runs Dynare's preprocessor
(`dynare-preprocessor prec.mod json=parse onlyjson`, Dynare 5.3) and prints
each case with the right-hand side as Dynare wrote it back, fully bracketed.
Needs the Debian package `dynare`; the tests themselves do not.

    python3 tests/model/dynare_precedence.py
"""

import json
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from test_reader_expressions import PRECEDENCE_NAMES, PRECEDENCE_TEXTS  # noqa: E402


def main():
    with tempfile.TemporaryDirectory() as tmp:
        lines = [f"var {' '.join(f'z{i}' for i in range(len(PRECEDENCE_TEXTS)))};",
                 "varexo e;", f"parameters {' '.join(PRECEDENCE_NAMES)};", "model;"]
        lines += [f"z{i} = {text};" for i, text in enumerate(PRECEDENCE_TEXTS)]
        lines += ["end;"]
        (pathlib.Path(tmp) / "prec.mod").write_text("\n".join(lines) + "\n")
        subprocess.run(["dynare-preprocessor", "prec.mod", "json=parse", "onlyjson"],
                       cwd=tmp, check=True, capture_output=True)
        model = json.loads((pathlib.Path(tmp) / "prec/model/json/modfile.json").read_text())
        for text, eq in zip(PRECEDENCE_TEXTS, model["model"]):
            print(f"    ({text!r}, {eq['rhs']!r}),")


if __name__ == "__main__":
    main()
