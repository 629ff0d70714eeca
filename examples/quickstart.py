print("korvane quickstart: under construction")
