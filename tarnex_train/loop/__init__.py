"""The learning loop: generations of self-play, training on a sliding
window, strength tests and promotion, in one resumable run folder."""
