"""Inference: evaluators that turn batches of requests into replies, the
reply cache, and the network's inference forms (ONNX Runtime, TorchScript)."""
