"""vessik: a small CPU tensor library with reverse-mode automatic differentiation."""
