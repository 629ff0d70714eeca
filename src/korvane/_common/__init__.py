"""Services shared by several korvane modules: argument binding, start-up settings, study settings."""
