"""Independent first-order solution in NumPy/SciPy (complex-step Jacobians
and Klein's method with scipy.linalg.ordqz), for tests and benchmarks."""

import numpy as np
import scipy.linalg


def complex_jacobians(model, x, h=1e-30):
    """dF/d(lead, cur, lag, e) at (x, x, x, 0) by complex step in NumPy."""
    n, m = model.n, model.m
    base = [x.astype(complex), x.astype(complex), x.astype(complex), np.zeros(m, complex)]
    theta = model.params.astype(complex)
    out = []
    for slot, size in enumerate((n, n, n, m)):
        J = np.zeros((n, size))
        for j in range(size):
            args = [a.copy() for a in base]
            args[slot][j] += 1j * h
            J[:, j] = model.evaluate(*args, theta).imag / h
        out.append(J)
    return out


def first_order(model, ss):
    """(hx, gx, impact) from the pencil in z(t) = (x(t-1), y(t)) of size nx + n:
    [0 J_lead; I 0] z(t+1) = [-dF/dx(t-1) -dF/dy(t); 0 (I 0)] z(t)."""
    n, nx = model.n, model.nx
    d_lead, d_cur, d_lag, d_e = complex_jacobians(model, ss)
    A = np.zeros((n + nx, nx + n))
    B = np.zeros((n + nx, nx + n))
    A[:n, nx:] = d_lead
    B[:n, nx:] = -d_cur
    B[:n, :nx] = -d_lag[:, :nx]
    A[n:, :nx] = np.eye(nx)
    B[n:, nx:2 * nx] = np.eye(nx)
    # roots lambda of det(B - lambda A) = 0, stable ones first
    _, _, _, _, _, Z = scipy.linalg.ordqz(B, A, sort="iuc", output="complex")
    P = np.real(Z[nx:, :nx] @ np.linalg.inv(Z[:nx, :nx]))   # y(t) on x(t-1)
    Phi = np.zeros((n, n))
    Phi[:, :nx] = P
    R = np.linalg.solve(d_lead @ Phi + d_cur, -d_e)
    return P[:nx], P[nx:], R
