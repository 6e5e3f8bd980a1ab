pytest_plugins = ["_profiles"]
