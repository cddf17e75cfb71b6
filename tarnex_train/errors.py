"""Errors that mean the user asked for something that cannot be done (a bad
option, a missing checkpoint, a foreign data folder): the command line
reports them as one line, without a traceback."""


class OptionError(ValueError):
    pass
