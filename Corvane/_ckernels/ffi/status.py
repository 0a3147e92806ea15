"""Status codes: the rows of status.def and crv_status_message, which every
module exports.

`STATUS` maps each code's C name to its value, `MESSAGES` each value to the
library's message for it; both come from the table the kernels are built
from.
"""

import ctypes

from ._tables import STATUSES
from ._types import i64

STATUS = {name: code for name, code, _ in STATUSES}
MESSAGES = {code: message for _, code, message in STATUSES}

SIGNATURES = {
    "crv_status_message": (ctypes.c_char_p, [i64]),
}
