/* The cost of starting a process and nothing more. */
int main(void) { return 0; }
