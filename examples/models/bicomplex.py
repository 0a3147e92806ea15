"""Bicomplex numbers z1 + z2*i2 (z1, z2 complex in i1) for second-derivative
steps, with the elementary functions the example models need.

Storage in the callbacks: four doubles (a, b, c, d) = a + b i1 + c i2 + d i1 i2,
i.e. z1 = a + b i1 and z2 = c + d i1.
"""

import numpy as np


class Bicomplex:
    __slots__ = ("z1", "z2")

    def __init__(self, z1, z2=0.0):
        self.z1 = np.complex128(z1) if np.isscalar(z1) else z1
        self.z2 = np.complex128(z2) if np.isscalar(z2) else z2

    @staticmethod
    def lift(x):
        return x if isinstance(x, Bicomplex) else Bicomplex(x, 0.0)

    def __add__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 + o.z1, self.z2 + o.z2)

    __radd__ = __add__

    def __neg__(self):
        return Bicomplex(-self.z1, -self.z2)

    def __sub__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 - o.z1, self.z2 - o.z2)

    def __rsub__(self, o):
        return Bicomplex.lift(o) - self

    def __mul__(self, o):
        o = Bicomplex.lift(o)
        return Bicomplex(self.z1 * o.z1 - self.z2 * o.z2, self.z1 * o.z2 + self.z2 * o.z1)

    __rmul__ = __mul__

    def __truediv__(self, o):
        o = Bicomplex.lift(o)
        den = o.z1 * o.z1 + o.z2 * o.z2
        return self * Bicomplex(o.z1 / den, -o.z2 / den)

    def __rtruediv__(self, o):
        return Bicomplex.lift(o) / self

    def __pow__(self, alpha):
        return exp(alpha * log(self))

    def exp(self):
        e = np.exp(self.z1)
        return Bicomplex(e * np.cos(self.z2), e * np.sin(self.z2))

    def log(self):
        # z1 (1 + u i2) with u = z2 / z1; log(1 + u i2) = log(1 + u^2)/2 + atan(u) i2
        u = self.z2 / self.z1
        return Bicomplex(np.log(self.z1) + 0.5 * np.log1p(u * u), np.arctan(u))


def exp(x):
    return x.exp() if isinstance(x, Bicomplex) else np.exp(x)


def log(x):
    return x.log() if isinstance(x, Bicomplex) else np.log(x)
