"""The plugin's own tests: pytester runs test files that use it in a
pytest of their own, as an engineer's suite would."""

pytest_plugins = ["pytester"]
