"""The built-in demo: synthetic products, a simulated sender, the live job and a report scored against the truth.

Only `qorva demo`, the tests and the benchmarks import this package; the application never does.
`synthetic` makes the products' images, `run` drives train, teach and watch, `scoring` turns the rows into
figures and `report` draws the contact sheet and the HTML page.
"""
