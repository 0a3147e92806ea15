// Python entry points of the _beliefplan extension module.
#include "pymodule.hpp"

namespace {

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

CRV_DEFINE_MODULE(_beliefplan, "Belief plans and LKJ densities.", methods)
