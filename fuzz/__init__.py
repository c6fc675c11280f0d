"""The fuzz targets, their input builders and their entry point under libFuzzer
(`python -m fuzz.run TARGET`, from the project root)."""
