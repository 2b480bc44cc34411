// Stand-in until the anchor survey engine lands.
