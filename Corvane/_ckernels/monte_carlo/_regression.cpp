// Python entry points of the _regression extension module.
#include "pymodule.hpp"

namespace {

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

CRV_DEFINE_MODULE(_regression, "Regression fits.", methods)
