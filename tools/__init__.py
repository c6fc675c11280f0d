"""The build recipe and the check of the release artifacts."""
