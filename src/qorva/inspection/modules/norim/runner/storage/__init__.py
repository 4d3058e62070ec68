"""Where the model lives: bundle folders by name (`place`), the bundle files (`bundle`, with `legacy` for older
formats), and bundles loaded in memory (`loaded`)."""
