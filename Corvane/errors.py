"""Exceptions a user of Corvane can meet.

Every mistake a user can make in a model, its data or its options raises one
of these, with a message that says what is wrong and where. A status code
from the kernel library reaches the user as a `SolutionError` (or one of its
kinds) carrying the code and the library's message for it.
"""


class ModelError(Exception):
    """A model that cannot be read, built, solved or used as given."""


class ParseError(ModelError):
    """A model file or equation that is not valid model-language text.

    `filename`, `line` and `column` (1-based, None when unknown) say where;
    given the text of that line (`source_line`), the message quotes it with a
    caret under the column.
    """

    def __init__(self, message, *, filename=None, line=None, column=None, source_line=None):
        self.filename = filename
        self.line = line
        self.column = column
        self.reason = message
        where = ":".join(str(x) for x in (filename or "<model>", line, column) if x is not None)
        text = f"{where}: {message}" if line is not None else message
        if source_line is not None and source_line.strip() and column is not None:
            indent = "".join(c if c == "\t" else " " for c in source_line[:column - 1])
            text += f"\n    {source_line.rstrip()}\n    {indent}^"
        super().__init__(text)


class SteadyStateError(ModelError):
    """No steady state: Newton did not converge, or residuals are not small.

    `residuals` is a pandas Series of the worst equations' residuals (labelled
    by equation name or line) when they are known.
    """

    def __init__(self, message, *, residuals=None):
        self.residuals = residuals
        super().__init__(message)


class SolutionError(ModelError):
    """The solver failed; `status` is the library's code, `status_message` its text."""

    def __init__(self, message, *, status=None, status_message=None):
        self.status = status
        self.status_message = status_message
        super().__init__(message)


class DeterminacyError(SolutionError):
    """The Blanchard-Kahn conditions fail: indeterminate, or no stable solution."""


class EstimationError(ModelError):
    """An estimation set-up or run that cannot proceed as given."""


class EstimationWarning(UserWarning):
    """An estimation result that was obtained with a repair, e.g. a Hessian
    made positive definite."""


__all__ = ["ModelError", "ParseError", "SteadyStateError", "SolutionError",
           "DeterminacyError", "EstimationError", "EstimationWarning"]
