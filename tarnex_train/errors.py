"""Errors that mean the user asked for something that cannot be done (a bad
option, a missing checkpoint, a foreign data folder): the command line
reports them as one line, without a traceback."""


class OptionError(ValueError):
    pass


def check_pool_options(options) -> None:
    """The options every command that runs worker processes shares."""
    if options.games < 1:
        raise OptionError("games must be at least 1")
    if options.workers < 1:
        raise OptionError("workers must be at least 1")
    if options.batch_size < 1:
        raise OptionError("batch size must be at least 1")
    if options.batch_wait_ms < 0:
        raise OptionError("batch wait must not be negative")
    if options.torch_threads < 1:
        raise OptionError("torch threads must be at least 1")
