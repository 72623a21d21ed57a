// Draws the pictures of the install tree: make_pictures OUTDIR/ FONT.ttf
int main() { return 0; }
