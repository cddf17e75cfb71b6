"""The worker pool: processes that play games on greenlets, the server loop
that answers their evaluation requests in batches, and the same on Ray."""
