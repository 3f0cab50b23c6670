// A program made of one whole library of the product and the libraries of the floors below it: it links
// only while no function of that library calls into a floor above.
int main() { return 0; }
