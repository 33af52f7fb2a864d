class Folioprint:
    def convert(self, input, output, keep_active=True):
        raise NotImplementedError("PDF conversion is not available")
