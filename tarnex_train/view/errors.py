"""What a request that cannot be served raises: the server answers it with
its status and a one-line JSON error, and goes on serving."""


class RequestError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class NotFound(RequestError):
    def __init__(self, message: str) -> None:
        super().__init__(404, message)


class BadRequest(RequestError):
    def __init__(self, message: str) -> None:
        super().__init__(400, message)


class Conflict(RequestError):
    """Well formed, but not now: a move out of turn, a game already over."""

    def __init__(self, message: str) -> None:
        super().__init__(409, message)
