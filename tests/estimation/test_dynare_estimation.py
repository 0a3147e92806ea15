"""Parity with Dynare 5.3: the RBC example estimated from stored simulated
data (tests/fixtures/dynare/estimation: the .mod file, the CSV data, the
script that ran Dynare and the numbers it stored)."""

import json
import pathlib

import numpy as np
import pytest

import Corvane

HERE = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "dynare" / "estimation"


@pytest.fixture(scope="module")
def reference():
    return json.loads((HERE / "rbc_estimation.json").read_text())


@pytest.fixture(scope="module")
def estimation():
    return Corvane.Model.from_mod(HERE / "rbc_estimation.mod").estimation()


def test_log_posterior_at_dynares_mode(estimation, reference):
    assert estimation.names == ["alpha", "psi", "rho", "stderr e", "stderr y", "stderr c"]
    assert len(estimation.data) == 200
    assert estimation.log_posterior(reference["mode"]) == pytest.approx(
        reference["log_posterior"], abs=2e-5)


def test_mode_sd_and_laplace_match_dynare(estimation, reference):
    mode = estimation.find_mode()
    assert mode.converged
    # at least as high as Dynare's (csminwel) optimum, and the same point
    assert mode.log_posterior >= reference["log_posterior"] - 1e-6
    assert mode.log_posterior == pytest.approx(reference["log_posterior"], abs=1e-3)
    for name in estimation.names:
        assert mode.params[name] == pytest.approx(reference["mode"][name], rel=5e-4), name
        assert mode.std[name] == pytest.approx(reference["sd"][name], rel=1e-2), name
    assert mode.laplace == pytest.approx(reference["laplace"], abs=0.02)
    order = [reference["names"].index(n) for n in estimation.names]
    H = np.array(reference["hessian"])[np.ix_(order, order)]
    np.testing.assert_allclose(mode.hessian.to_numpy(), H, rtol=0.05,
                               atol=0.01 * np.abs(H).max())


@pytest.mark.parametrize("with_names", [True, False])
def test_mode_file_with_mode_compute_0(tmp_path, reference, with_names):
    from scipy.io import savemat

    text = (HERE / "rbc_estimation.mod").read_text().replace(
        "mode_compute=4,", "mode_compute=0, mode_file=rbc_mode,")
    (tmp_path / "rbc.mod").write_text(text)
    (tmp_path / "rbc_data.csv").write_text((HERE / "rbc_data.csv").read_text())
    labels = reference["names"]
    if with_names:
        # as Dynare writes it: stderr values first, named by their variable
        names = [n.replace("stderr ", "") for n in labels]
        values = [reference["mode"][n] for n in labels]
        savemat(tmp_path / "rbc_mode.mat", {"xparam1": np.array(values)[:, None],
                                            "parameter_names": np.array(names, dtype=object)[:, None]})
    else:
        order = ["alpha", "psi", "rho", "stderr e", "stderr y", "stderr c"]
        savemat(tmp_path / "rbc_mode.mat",
                {"xparam1": np.array([reference["mode"][n] for n in order])[:, None]})
    est = Corvane.Model.from_mod(tmp_path / "rbc.mod").estimation()
    mode = est.find_mode()
    for name in est.names:
        assert mode.params[name] == reference["mode"][name]
    assert mode.log_posterior == pytest.approx(reference["log_posterior"], abs=2e-5)
