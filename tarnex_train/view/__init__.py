"""``tarnex-train view``: a browser view of learning runs and games, and a
seat at the board for a person.

- ``app``: the web server (Starlette on uvicorn, 127.0.0.1 unless told
  otherwise) and its JSON endpoints; ``static/``: the pages (HTML, CSS and
  JavaScript modules, no build step, nothing fetched from elsewhere).
- ``runs``: the run folders shown: metrics, generations, the games in their
  shards and the games saved from the play page, with the checks that keep
  requests inside them.
- ``replays``: a game as the games page steps through it.
- ``players`` and ``matches``: the play page's players and matches; the
  server referees, computer seats move on a thread per match.
- ``sources``: the one module that imports the rest of tarnex_train.
"""
